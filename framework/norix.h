// norix.h - the host framework interface that the FSM library builds on.
//
// This is our own stand-in for the server framework: client-side data
// containers, device addresses and client calls, the server's location and
// property base classes, a few property classes, history archives, and the
// process-wide registry of served locations through which EqCall reaches
// properties. Everything the library calls is declared here.
//
// Locking inside the stand-in, in the order they may be taken:
// - every property has an operation mutex (D_fct::op_lock) that EqCall and
//   the host server hold around one get/set/names/write of that property, so
//   that no two such operations run on one property at once; the property
//   may call into the library while it is held;
// - every stand-in property class guards its own value with a value mutex,
//   taken inside set_value(), get(), set() and the scalar value()s (the
//   record classes hand out a pointer to their record, see D_iiii);
// - a D_hist takes its ArchiveFile's mutex last.
// Leaf locks, under which nothing else is taken: the served-location
// registry's mutex (held while a lookup or change runs, never across a call
// into a location or property) and a location's property-list mutex.

#ifndef FRAMEWORK_NORIX_H
#define FRAMEWORK_NORIX_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Data type codes shared by EqData::type() and D_fct::data_type().

constexpr int DATA_NULL = 0;       // no value
constexpr int DATA_INT = 1;        // 32-bit signed int
constexpr int DATA_FLOAT = 2;      // float
constexpr int DATA_STRING = 3;     // text
constexpr int DATA_DOUBLE = 4;     // double (a scalar read as float)
constexpr int DATA_SHORT = 5;      // 16-bit signed int
constexpr int DATA_LONG = 6;       // 64-bit signed int
constexpr int DATA_UINT = 7;       // 32-bit unsigned int
constexpr int DATA_ULONG = 8;      // 64-bit unsigned int
constexpr int DATA_IIII = 14;      // IIII record
constexpr int DATA_IFFF = 15;      // IFFF record
constexpr int DATA_SPECTRUM = 19;  // float array
constexpr int DATA_TDS = 20;       // TDS record (time, float, status)
constexpr int DATA_A_FLOAT = 100;  // float array
constexpr int DATA_HIST = 101;     // history property
constexpr int DATA_USTR = 103;     // USTR record, or an array of them

// ---------------------------------------------------------------------------
// Records.

struct USTR {
  int i1_data;
  float f1_data;
  float f2_data;
  time_t tm;
  struct {
    unsigned int str_data_len;
    char* str_data_val;
  } str_data;
};

struct IIII {
  int i1_data;
  int i2_data;
  int i3_data;
  int i4_data;
};

struct IFFF {
  int i1_data;
  float f1_data;
  float f2_data;
  float f3_data;
};

struct TDS {
  time_t tm;
  float data;
  uint8_t status;
};

// ---------------------------------------------------------------------------
// Error codes that the stand-in itself reports in an EqData.

constexpr int ERR_NO_ERROR = 0;
constexpr int ERR_NO_SERVER = 101;      // "unknown server": facility/device not served here
constexpr int ERR_NO_LOCATION = 102;    // "unknown location"
constexpr int ERR_NO_PROPERTY = 103;    // "unknown property"
constexpr int ERR_ILLEGAL_READ = 104;   // "property not readable"
constexpr int ERR_ILLEGAL_WRITE = 105;  // "property not writable"
constexpr int ERR_WRONG_TYPE = 106;     // "wrong data type"
constexpr int ERR_BAD_ADDRESS = 107;    // "illegal address"
constexpr int ERR_NOT_MONITORED = 110;  // "monitor not available": read with get instead
constexpr int ERR_UNREACHABLE = 111;    // "server unreachable": no answer from a peer in time
constexpr int ERR_BAD_REQUEST = 112;    // "bad request": a client's line is not a request
constexpr int ERR_BUSY = 113;           // "server busy": too many client connections
constexpr int ERR_NOT_SAVED = 114;      // "configuration not saved"

// ---------------------------------------------------------------------------
// EqData: one typed value (scalar, text, record, float array or USTR array)
// with an error code and text. Not thread-safe: one owner at a time.
//
// Every set() gives the container a new value of the matching type and clears
// its error; error(code, text) records an error and keeps the value.
//
// Numbers out of it: integer values of any width and signedness give their
// low 32 bits as int, or the nearest float; float and double values are
// truncated toward zero for the int results (NaN gives 0, values beyond the
// int range saturate) and rounded for the float results; float arrays give
// their first element (0 when empty); text, records and USTR give 0.
//
// Text forms (get_string writes them, set_from_string reads them back):
//   no value / unknown type   ""
//   DATA_INT, DATA_SHORT,     decimal, "-12"
//   DATA_LONG, DATA_UINT,
//   DATA_ULONG
//   DATA_FLOAT, DATA_DOUBLE   the shortest "%g"-style text that reads back
//                             to the same value, "1.5", "0.1", "1e+20", "nan"
//   DATA_STRING               the text itself
//   DATA_IIII                 "i1 i2 i3 i4"
//   DATA_IFFF                 "i1 f1 f2 f3"
//   DATA_TDS                  "tm data status"
//   DATA_SPECTRUM,            the elements separated by single blanks,
//   DATA_A_FLOAT, DATA_HIST   "1 2.5 3" ("" when empty)
//   DATA_USTR                 one line per element, "i1 f1 f2 tm text",
//                             lines joined by newlines; in the text a
//                             backslash is written as two backslashes and a
//                             newline as a backslash and "n"
// Integer types also read a number text with an exact integral value in
// range ("1e+06"); every other text that does not fit the type is refused.
class EqData {
 public:
  EqData();
  EqData(const EqData& other);
  EqData& operator=(const EqData& other);
  ~EqData();

  void init();  // empty: type DATA_NULL, no value, no error

  int type() const;
  void set_type(int type);  // drops the value and the error, keeps the new type with a zero value
  int length() const;       // 1 for scalars, text and records; the count for arrays; 0 when empty

  int error() const;                              // 0 = no error
  void error(int code, const std::string& text);  // code 0 clears the error

  // The value as text (or the error text when the container holds an error),
  // copied into buf and always terminated within size bytes (size 0 writes
  // nothing); returns buf.
  char* get_string(char* buf, unsigned long size);
  std::string text_value() const;  // the same text, whole

  int get_int();
  float get_float();
  float get_float(int index);  // element index of a float array; index 0 of a scalar
  double get_double();
  float* get_float_array();  // null unless a float array
  IIII* get_iiii();          // points into the container; zeroed record for other types
  IFFF* get_ifff();
  int get_ifff(int* i1, float* f1, float* f2, float* f3);  // 1 when the value is an IFFF, else 0
  TDS* get_tds();
  USTR* get_ustr(int index);  // null when index is out of range; the text is terminated
  // 1 and the fields of element index (the text points into the container),
  // or 0 when there is no such element. Null pointers are skipped.
  int get_ustr(int* i1, float* f1, float* f2, long* tm, char** str, int index);

  void set(int value);
  void set(float value);
  void set(double value);
  void set(long long value);
  void set(const char* text);  // null is the empty text
  void set(const std::string& text);
  void set(const IIII& value);
  void set(const IFFF& value);
  void set(const TDS& value);
  // Element index (0 to 65535) of a USTR array; grows the array with zeroed
  // elements, and turns a value of another type into a USTR array. The text
  // is copied up to its terminator or str_data_len characters, whichever
  // comes first (null is empty); the kept length is str_data_len, but never
  // more than the copied text's length plus one.
  void set(const USTR& value, int index);
  void set(const float* values, int count);  // a float array (type DATA_A_FLOAT)

  // Parses text according to the current type code; the texts get_string
  // makes read back into the same value. 0 on success, -1 when the text does
  // not fit the type (the container is then unchanged).
  int set_from_string(const std::string& text);

  void copy_from(const EqData* source);  // value, type and error; null is ignored

 private:
  void reset_value();
  void repoint_ustr();

  int type_;
  int error_code_;
  std::string error_text_;
  long long int_value_;            // DATA_INT, DATA_SHORT, DATA_LONG
  unsigned long long uint_value_;  // DATA_UINT, DATA_ULONG
  double float_value_;             // DATA_FLOAT, DATA_DOUBLE
  std::string text_;               // DATA_STRING
  IIII iiii_;
  IFFF ifff_;
  TDS tds_;
  std::vector<float> floats_;            // DATA_SPECTRUM, DATA_A_FLOAT, DATA_HIST
  std::vector<USTR> ustrs_;              // DATA_USTR
  std::vector<std::string> ustr_texts_;  // owns the texts USTR elements point to
};

// ---------------------------------------------------------------------------
// EqAdr: a device address, FACILITY/DEVICE/LOCATION/PROPERTY in text form.
// Inside a part, show_adr() writes "\\" for a backslash and "\/" for a "/";
// adr() reads those back, takes any other backslash as it is, leaves missing
// parts empty and gives the property everything after the third "/".

class EqAdr {
 public:
  EqAdr();

  // Parses "FACILITY/DEVICE/LOCATION/PROPERTY"; missing parts become empty.
  void adr(const std::string& text);
  void set(const std::string& facility, const std::string& location, const std::string& device,
           const std::string& property);
  void set_location(const std::string& location);
  void set_property(const std::string& property);

  const char* facility() const { return facility_.c_str(); }
  const char* device() const { return device_.c_str(); }
  const char* location() const { return location_.c_str(); }
  const char* property() const { return property_.c_str(); }

  std::string show_adr() const;  // the text that adr() parses back into the same four parts

 private:
  std::string facility_;
  std::string device_;
  std::string location_;
  std::string property_;
};

// ---------------------------------------------------------------------------
// EqCall: client calls on the locations this process serves (see the
// registry below). Results: 0 on success, else the error code that is also
// stored in the result container with its text (ERR_... above). A result that
// is not also the request is emptied before the property fills it. Calls on
// one EqCall may come from several threads; it keeps no state of its own.
//
// get and set reach FACILITY/DEVICE/LOCATION/PROPERTY, where facility and
// device name this process's server, the location is served and the property
// is found by the first word of its name text; "*" is refused there
// (ERR_BAD_ADDRESS). The property operation runs under its op_lock().

class EqAdr;
typedef void (*EQ_CB)(void* user, EqData* result, EqAdr* address);

class EqCall {
 public:
  EqCall();
  ~EqCall();

  int get(EqAdr* address, EqData* request, EqData* result);
  // A value of another type than the property's is converted where that
  // makes sense (int and float, text that parses), else ERR_WRONG_TYPE.
  int set(EqAdr* address, EqData* value, EqData* result);
  // One USTR per name below the address, in creation order (DATA_USTR; no
  // names is an empty array): facility "*" the server's facility, device "*"
  // its device, location "*" the served locations (text = name, i1_data =
  // fct_code()), property "*" or empty the properties of a location (text =
  // the whole name text, i1_data = data_type()), else the property's own
  // names answer.
  int names(EqAdr* address, EqData* result);
  // Like get for a monitorable address; ERR_NOT_MONITORED ("monitor not
  // available") for one made unmonitorable with norix::set_unmonitorable.
  // mode, rate, cb and user are not used.
  int get_monitor(EqAdr* address, EqData* request, EqData* result, int mode, float rate, EQ_CB cb,
                  void* user);
  int update(int mode);  // services monitors once (there are none); counted; 0

 private:
  EqCall(const EqCall&) = delete;
  EqCall& operator=(const EqCall&) = delete;
};

// ---------------------------------------------------------------------------
// Server base.

class EqFct;
class D_fct;
class ArchiveFile;
class D_hist;

// The saved value of a property in the server's configuration.
struct D_conf_ustr {
  int i1_data;
  float f1_data;
  float f2_data;
  time_t tm;
  std::string d_name;
};

struct D_conf_struct {
  std::string name;  // property name (first word of its name text)
  D_conf_ustr d_ustr;
};

// The set of properties that are saved to the server's configuration.
// Filled on the start-up thread; not locked.
class Config {
 public:
  struct entry {
    D_fct* property;
    int flags;
  };
  std::vector<entry> entries;
};

// D_gen_sts: a location's general status. Each value is read and written
// whole from any thread.
class D_gen_sts {
 public:
  D_gen_sts();
  void error(int code);
  void newerror(int code);
  void online(int flag);
  int error() const;
  int newerror() const;
  int online() const;

 private:
  std::atomic<int> error_;
  std::atomic<int> newerror_;
  std::atomic<int> online_;
};

// EqFct: a server location. Constructed with "NAME = location"; the host
// gives it its name with set_name() before it serves it. It keeps its
// properties in creation order (D_fct's constructor appends them; their
// destructors remove them); it does not own them. Its destructor stops
// serving it and detaches the properties still listed, whose owner() then
// becomes null.
//
// The base operations: get, set and names dispatch to the property named by
// the address (by the first word of its name text) under the property's
// op_lock(); names with property "*" or empty lists the properties; write
// writes every property's saved value line after its name; fct_code is 0;
// the others do nothing. The error code and text are guarded by a mutex.
class EqFct {
 public:
  explicit EqFct(const char* text);
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;
  virtual ~EqFct();

  virtual int fct_code();
  virtual int get(EqAdr* address, EqData* request, EqData* result);  // result's error code
  virtual void interrupt_usr1(int sig);
  virtual int names(EqAdr* address, EqData* result);
  virtual int set(EqAdr* address, EqData* value, EqData* result);
  virtual void update();
  virtual void write(std::ostream& out);
  virtual void online();
  virtual void offline();
  virtual void init();
  virtual void post_init();
  virtual void complete();
  virtual void clear();
  virtual void cancel();
  virtual void set_error(int code);  // the code with get_errorstr(code) as text
  virtual void set_error(int code, const std::string& text);
  virtual void set_error(int code, const char* text);  // null is the empty text
  virtual void set_error(const std::string& text);     // the text; the code stays
  virtual int get_error();
  virtual std::string get_errorstr();           // the text of the present error
  virtual std::string get_errorstr(int code);   // the standard text of a code ("ok" for 0)
  virtual void write_error(std::ostream& out);  // "error <code>: <text>\n"
  virtual void write_error(std::ostream& out, int code);         // the same with the code's text
  virtual void write_line(std::ostream& out, const char* line);  // the line and "\n"
  virtual int _callback(int reason);

  // The location's name; booked histories are named by it. Set on the
  // start-up thread before clients are served; not locked.
  const std::string& name() const;
  void set_name(const std::string& name);
  D_gen_sts& gen_sts();

  // Properties of this location, in creation order. The list is built
  // before the server serves clients and not changed afterwards; readers on
  // other threads use find_property.
  const std::vector<D_fct*>& properties() const;
  D_fct* find_property(const std::string& word) const;  // by first word of the name text

 private:
  friend class D_fct;
  std::vector<D_fct*> property_list() const;  // a copy taken under list_mux_

  std::string name_;
  int error_code_;
  std::string error_text_;
  D_gen_sts sts_;
  std::vector<D_fct*> props_;
  pthread_mutex_t err_mux_;           // guards error_code_ and error_text_
  mutable pthread_mutex_t list_mux_;  // guards props_ against lookups while it changes
};

// D_fct: a property. The name text is "NAME description"; the first word
// (after any leading white space) is the property's name. The base class
// holds no value: its get answers ERR_ILLEGAL_READ, its set
// ERR_ILLEGAL_WRITE, its names one USTR with its name text and type code,
// and it writes no saved value.
//
// op_lock() is the operation mutex that EqCall and the host hold around one
// get, set, names or write of the property. The property classes below also
// guard their value with a value mutex of their own (taken inside op_lock).
class D_fct {
 public:
  D_fct(const char* text, EqFct* owner, int flags = 0);
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;
  virtual ~D_fct();

  virtual void get(EqAdr* address, EqData* request, EqData* result, EqFct* location);
  virtual void set(EqAdr* address, EqData* value, EqData* result, EqFct* location);
  virtual void names(EqAdr* address, EqData* result);
  virtual void get_multi(EqAdr* address, EqData* request, EqData* result, int* index,
                         const char* selector, time_t* tm);  // get, with the owner as location
  virtual void conf(Config* conf);                           // nothing
  virtual void read();                                       // nothing
  virtual void read_from_conf(const std::string& text);      // nothing
  virtual void write(std::ostream& out);                     // nothing
  virtual void auto_init();
  virtual const char* comment();  // the description: the name text after the name
  virtual int data_type() const;  // the code given with data_type(int); DATA_NULL at first
  virtual void data_type(int type);
  virtual int daq_type();
  virtual void conf_insert(Config* conf, int flags);  // once per conf; a second call sets the flags
  virtual int conf_process(const char* line);
  virtual int callback_(int reason);
  virtual int permission();
  virtual void permission(int perm);
  virtual int d_error();
  virtual void d_error(int code);
  virtual int d_severity();
  virtual void d_severity(int severity);
  virtual void set_mode(int mode);
  virtual int send(EqData* data);

  const std::string& name_text() const;  // the whole name text
  std::string name() const;              // the first word of the name text
  EqFct* owner() const;                  // null once the owner is gone

  // The configuration record the host loaded for this property, or null.
  // The record belongs to the property and stays at the same address.
  D_conf_struct* find_prop_name();
  void set_conf_record(const D_conf_struct& record);  // host side: load a saved value

  pthread_mutex_t* op_lock();  // held by EqCall and the host around one operation

 private:
  friend class EqFct;
  std::string text_;
  EqFct* owner_;
  int type_;
  int perm_;
  int error_;
  int severity_;
  int mode_;
  D_conf_struct* conf_;  // owned
  pthread_mutex_t op_mux_;
};

// Client writes to the value classes below: a value of the property's own
// type is taken as it is; D_value takes every integer and float type and
// text that parses; D_iiii, D_dig_filter, D_ustr and D_string also take text
// that parses (D_ustr and D_string: any text; D_string also a USTR's text);
// every other type gives ERR_WRONG_TYPE and leaves the value unchanged.

// D_string: a text property (type 3). Its saved value line is " \t<text>\n";
// conf() registers it for saving.
class D_string : public D_fct {
 public:
  D_string(const char* text, EqFct* owner);
  ~D_string() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  void conf(Config* conf) override;
  void read_from_conf(const std::string& text) override;  // the configured text is the value
  void write(std::ostream& out) override;
  using D_fct::data_type;
  int data_type() const override;

  // The text; valid until the value is next changed. Readers on other
  // threads use get(), which copies under the value mutex.
  const char* value();
  void set_value(const char* text);  // null is the empty text

 private:
  std::string value_;
  pthread_mutex_t val_mux_;  // guards value_
};

namespace norix {

// D_value<T>: a scalar property, T = int (type 1) or float (type 2). Its
// saved value line is " \t<value>\n" (EqData's text form); read() loads
// i1_data (int) or f1_data (float) of the configuration record; conf()
// registers it for saving.
template <typename T>
class D_value : public D_fct {
 public:
  D_value(const char* text, EqFct* owner);
  ~D_value() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  void conf(Config* conf) override;
  void write(std::ostream& out) override;
  void read() override;
  using D_fct::data_type;
  int data_type() const override;

  T value();
  void set_value(T value);

 private:
  T value_;
  pthread_mutex_t val_mux_;  // guards value_
};

extern template class D_value<int>;
extern template class D_value<float>;

}  // namespace norix

// The record classes below hand out a pointer to their own record. Their
// set_value and client writes change it under the value mutex, inside the
// op_lock() for client writes; a reader through the pointer on another
// thread than the writer's holds op_lock() while it reads.

// D_iiii: an IIII property (type 14).
class D_iiii : public D_fct {
 public:
  D_iiii(const char* text, EqFct* owner);
  ~D_iiii() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  IIII* value();                // the property's own record
  void set_value(IIII* value);  // null is ignored

 private:
  IIII value_;
  pthread_mutex_t val_mux_;  // guards value_
};

// D_dig_filter: an IFFF property (type 15).
class D_dig_filter : public D_fct {
 public:
  D_dig_filter(const char* text, EqFct* owner);
  ~D_dig_filter() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  IFFF* value();                // the property's own record
  void set_value(IFFF* value);  // null is ignored

 private:
  IFFF value_;
  pthread_mutex_t val_mux_;  // guards value_
};

// D_ustr: a USTR property (type 103). Keeps a private copy of the text,
// copied like EqData::set(const USTR&, int) copies it.
class D_ustr : public D_fct {
 public:
  D_ustr(const char* text, EqFct* owner);
  ~D_ustr() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  USTR* value();                // its text points into the property's own copy
  void set_value(USTR* value);  // null is ignored

 private:
  USTR value_;
  std::string text_;
  pthread_mutex_t val_mux_;  // guards value_ and text_
};

// ArchiveFile: the history and data files of one machine. Each file is
// opened for one write and closed again; a write that fails is skipped and
// counted (failed_writes()). Names are written with every white-space
// character replaced by "_", so that every line has its fixed fields:
//   history file: one line per name, at its first booking: "<name>\n"
//   data file: one line per sample: "<name> <tm> <value> <status>\n"
//   with tm in seconds, value in EqData's float text form, status in decimal.
// D_hist books under "<booked name>/<property name>". flag true empties both
// files at construction; false appends to what they hold.
class ArchiveFile {
 public:
  ArchiveFile(const std::string& hist_file, const char* data_file,
              bool flag);  // null: no data file
  ~ArchiveFile();

  const std::string& hist_file() const;
  const std::string& data_file() const;
  void book(const std::string& name);
  void append(const std::string& name, const TDS& sample);
  long failed_writes();

 private:
  friend class D_hist;
  void attach(D_hist* hist, const std::string& name);  // books name; remembered until detach
  void detach(D_hist* hist);
  void write_line(const std::string& file, const std::string& line);  // with mux_ held

  std::string hist_file_;
  std::string data_file_;
  bool flag_;
  std::vector<std::string> booked_;  // names already in the history file
  std::vector<D_hist*> hists_;       // histories booked here; told when the archive goes away
  long failed_;
  pthread_mutex_t mux_;  // serialises writes to the files; guards booked_, hists_ and failed_
};

// D_hist: a history property (type 101). Keeps the recent samples in a
// bounded ring (capacity from the constructor, at least 1); once booked,
// every sample is also appended to the archive's data file. Lock order: the
// value mutex, then the archive's mutex.
class D_hist : public D_fct {
 public:
  D_hist(const char* text, EqFct* owner, int capacity = 200);
  ~D_hist() override;

  // A client get returns the values of the recent samples, oldest first, as
  // a float array (DATA_A_FLOAT).
  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  // Records the archive (null: none) and the name, and books the history
  // there as "<name>/<property name>"; its samples then go to the archive. ring and size are not
  // used: the ring's capacity is fixed at construction.
  void book_hist(ArchiveFile* archive, const std::string& name, int ring, int size);
  // Adds a sample (null is ignored); a non-null status replaces the sample's
  // status (its low 8 bits).
  void fill_hist(TDS* sample, int* status);

  int sample_count();              // samples held in the ring
  int samples(TDS* out, int max);  // copies up to max recent samples, oldest first; the count
  ArchiveFile* archive();          // where it is booked, or null
  int booked_count();              // number of book_hist calls

 private:
  friend class ArchiveFile;
  void drop_archive(ArchiveFile* archive);  // the archive goes away; takes the value mutex

  std::vector<TDS> ring_;
  size_t head_;   // where the next sample goes
  size_t count_;  // samples held, at most ring_.size()
  ArchiveFile* archive_;
  std::string book_name_;
  int booked_;
  pthread_mutex_t val_mux_;  // guards all of the above
};

// ---------------------------------------------------------------------------
// Server globals.

extern std::string gbl_fct_name;  // type name of the location being created
extern int ring_buffer;           // passed to every history booking; 0

// ---------------------------------------------------------------------------
// The stand-in's registry of served locations, through which EqCall reaches
// properties, and its test hooks. The registry's mutex is held only while a
// lookup or a change runs, never across a call into a location or property.

namespace norix {

void set_server(const std::string& facility, const std::string& device);
void serve_location(EqFct* location);  // EqCall can reach it by its name(); once
// Forgets it, waiting until the calls that reached it have returned; never
// call it from an operation of that location. ~EqFct calls it too, but only
// after the derived parts are gone: while clients may call, unserve a
// location before destroying it.
void unserve_location(EqFct* location);
// Forgets every location, the server name, the peers and the unmonitorable
// addresses, and restores the default call timeout.
void clear_served();

// Peers: EqCall sends calls for FACILITY/DEVICE to the server listening at
// endpoint (protocol::Endpoint text form); a second call for the same pair
// replaces the endpoint. The addresses of this server are never sent.
void add_peer(const std::string& facility, const std::string& device, const std::string& endpoint);
// The endpoint that calls for the address go to, or "" when they stay here.
std::string peer_endpoint(const EqAdr& address);
// Bounds one call to a peer (connect, send and answer); 2000 ms by default.
void set_call_timeout(int milliseconds);

// Addresses whose text (EqAdr::show_adr form) is listed here answer
// get_monitor with ERR_NOT_MONITORED, so that callers fall back to get.
void set_unmonitorable(const std::string& address_text, bool unmonitorable);

long update_count();  // number of EqCall::update calls so far

// The text that goes with one of the error codes above ("ok" for 0,
// "error <code>" for a code the stand-in does not know).
std::string error_text(int code);

// Host side: loads saved value lines ("<property name> <value text>", as
// EqFct::write writes them) into the location's properties: a D_string-type
// property (type 3) gets the text with read_from_conf; every other gets a
// configuration record (set_conf_record) and then read(). A value text
// " \t<i1> <f1> <f2> <tm> \"<text>\"" fills all five fields of the record;
// a single number fills i1_data and f1_data. Returns the number of lines
// that named no property of the location or did not parse.
int load_config(EqFct* location, std::istream& in);

}  // namespace norix

#endif  // FRAMEWORK_NORIX_H
