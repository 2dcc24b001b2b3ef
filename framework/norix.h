// norix.h - the host framework interface that the FSM library builds on.
//
// This is our own stand-in for the server framework: client-side data
// containers, device addresses and client calls, the server's location and
// property base classes, a few property classes, history archives, and the
// process-wide registry of served locations through which EqCall reaches
// properties. Everything the library calls is declared here.
//
// Locking inside the stand-in (all leaf locks unless noted):
// - every property has an operation mutex (D_fct::op_lock) that EqCall and
//   the host server hold around one get/set/names/write of that property, so
//   that no two such operations run on one property at once;
// - every stand-in property class guards its own value with a value mutex,
//   taken inside value(), set_value(), get() and set();
// - the served-location registry has its own mutex, held only while a lookup
//   or a change of the registry runs, never across a property operation.

#ifndef FRAMEWORK_NORIX_H
#define FRAMEWORK_NORIX_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

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
constexpr int ERR_UNREACHABLE = 111;    // "server unreachable"

// ---------------------------------------------------------------------------
// EqData: one typed value (scalar, text, record, float array or USTR array)
// with an error code and text. Not thread-safe: one owner at a time.

class EqData {
 public:
  EqData();
  EqData(const EqData& other);
  EqData& operator=(const EqData& other);
  ~EqData();

  void init();  // empty: type DATA_NULL, no value, no error

  int type() const;
  void set_type(int type);  // drops the value, keeps the new type with a zero value
  int length() const;       // number of elements (1 for scalars and records, 0 when empty)

  int error() const;  // 0 = no error
  void error(int code, const std::string& text);

  // The value as text (or the error text when the container holds an error),
  // copied into buf and always terminated within size bytes; returns buf.
  char* get_string(char* buf, unsigned long size);

  int get_int();
  float get_float();
  float get_float(int index);
  double get_double();
  float* get_float_array();  // null unless a float array
  IIII* get_iiii();          // points into the container; zeroed record for other types
  IFFF* get_ifff();
  int get_ifff(int* i1, float* f1, float* f2, float* f3);  // 1 when the value is an IFFF
  TDS* get_tds();
  USTR* get_ustr(int index);  // null when index is out of range
  int get_ustr(int* i1, float* f1, float* f2, long* tm, char** str, int index);

  void set(int value);
  void set(float value);
  void set(double value);
  void set(long long value);
  void set(const char* text);
  void set(const std::string& text);
  void set(const IIII& value);
  void set(const IFFF& value);
  void set(const TDS& value);
  void set(const USTR& value, int index);  // element index of a USTR array; grows the array
  void set(const float* values, int count);  // a float array (type DATA_A_FLOAT)

  // Parses text according to the current type code; the texts get_string
  // makes read back into the same value. 0 on success, -1 when the text does
  // not fit the type (the container is then unchanged).
  int set_from_string(const std::string& text);

  void copy_from(const EqData* source);  // value, type and error

 private:
  void reset_value();
  void repoint_ustr();

  int type_;
  int error_code_;
  std::string error_text_;
  long long int_value_;
  unsigned long long uint_value_;
  double float_value_;
  std::string text_;
  IIII iiii_;
  IFFF ifff_;
  TDS tds_;
  std::vector<float> floats_;
  std::vector<USTR> ustrs_;
  std::vector<std::string> ustr_texts_;  // owns the texts USTR elements point to
};

// ---------------------------------------------------------------------------
// EqAdr: a device address, FACILITY/DEVICE/LOCATION/PROPERTY in text form.

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
// EqCall: client calls. Results: 0 on success, else the error code that is
// also stored in the result container.

class EqAdr;
typedef void (*EQ_CB)(void* user, EqData* result, EqAdr* address);

class EqCall {
 public:
  EqCall();
  ~EqCall();

  int get(EqAdr* address, EqData* request, EqData* result);
  int set(EqAdr* address, EqData* value, EqData* result);
  // One USTR per name below the address: location "*" lists locations,
  // property "*" lists the properties of a location (type code in i1_data).
  int names(EqAdr* address, EqData* result);
  // Like get for a monitorable address; ERR_NOT_MONITORED otherwise.
  int get_monitor(EqAdr* address, EqData* request, EqData* result, int mode, float rate, EQ_CB cb,
                  void* user);
  int update(int mode);  // services monitors once; counted, see norix::update_count()

 private:
  EqCall(const EqCall&) = delete;
  EqCall& operator=(const EqCall&) = delete;
};

// ---------------------------------------------------------------------------
// Server base.

class EqFct;
class D_fct;
class ArchiveFile;

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
class Config {
 public:
  struct entry {
    D_fct* property;
    int flags;
  };
  std::vector<entry> entries;
};

// D_gen_sts: a location's general status.
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
  int error_;
  int newerror_;
  int online_;
};

// EqFct: a server location. Constructed with "NAME = location"; the host
// gives it its name with set_name(). It keeps its properties in creation
// order (D_fct's constructor appends them; their destructors remove them).
class EqFct {
 public:
  explicit EqFct(const char* text);
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;
  virtual ~EqFct();

  virtual int fct_code();
  virtual int get(EqAdr* address, EqData* request, EqData* result);
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
  virtual void set_error(int code);
  virtual void set_error(int code, const std::string& text);
  virtual void set_error(int code, const char* text);
  virtual void set_error(const std::string& text);
  virtual int get_error();
  virtual std::string get_errorstr();
  virtual std::string get_errorstr(int code);
  virtual void write_error(std::ostream& out);
  virtual void write_error(std::ostream& out, int code);
  virtual void write_line(std::ostream& out, const char* line);
  virtual int _callback(int reason);

  const std::string& name() const;  // the location's name; booked histories are named by it
  void set_name(const std::string& name);
  D_gen_sts& gen_sts();

  // Properties of this location, in creation order. The list is built
  // before the server serves clients and not changed afterwards.
  const std::vector<D_fct*>& properties() const;
  D_fct* find_property(const std::string& word) const;  // by first word of the name text

 private:
  friend class D_fct;
  std::string name_;
  int error_code_;
  std::string error_text_;
  D_gen_sts sts_;
  std::vector<D_fct*> props_;
  pthread_mutex_t err_mux_;  // guards error_code_ and error_text_
};

// D_fct: a property. The name text is "NAME description"; the first word is
// the property's name.
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
                         const char* spec, time_t* tm);
  virtual void conf(Config* conf);
  virtual void read();
  virtual void read_from_conf(const std::string& text);
  virtual void write(std::ostream& out);
  virtual void auto_init();
  virtual const char* comment();
  virtual int data_type() const;
  virtual void data_type(int type);
  virtual int daq_type();
  virtual void conf_insert(Config* conf, int flags);
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
  EqFct* owner() const;

  // The configuration record the host loaded for this property, or null.
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
  D_conf_struct* conf_;
  pthread_mutex_t op_mux_;
};

// D_string: a text property (type 3).
class D_string : public D_fct {
 public:
  D_string(const char* text, EqFct* owner);
  ~D_string() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  void read_from_conf(const std::string& text) override;
  void write(std::ostream& out) override;
  using D_fct::data_type;
  int data_type() const override;

  // The text; valid until the value is next changed. Readers on other
  // threads use get(), which copies under the value mutex.
  const char* value();
  void set_value(const char* text);

 private:
  std::string value_;
  pthread_mutex_t val_mux_;
};

namespace norix {

// D_value<T>: a scalar property, T = int (type 1) or float (type 2).
template <typename T>
class D_value : public D_fct {
 public:
  D_value(const char* text, EqFct* owner);
  ~D_value() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  void write(std::ostream& out) override;
  void read() override;
  using D_fct::data_type;
  int data_type() const override;

  T value();
  void set_value(T value);

 private:
  T value_;
  pthread_mutex_t val_mux_;
};

extern template class D_value<int>;
extern template class D_value<float>;

}  // namespace norix

// D_iiii: an IIII property (type 14).
class D_iiii : public D_fct {
 public:
  D_iiii(const char* text, EqFct* owner);
  ~D_iiii() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  IIII* value();  // the property's own record
  void set_value(IIII* value);

 private:
  IIII value_;
  pthread_mutex_t val_mux_;
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

  IFFF* value();
  void set_value(IFFF* value);

 private:
  IFFF value_;
  pthread_mutex_t val_mux_;
};

// D_ustr: a USTR property (type 103). Keeps a private copy of the text.
class D_ustr : public D_fct {
 public:
  D_ustr(const char* text, EqFct* owner);
  ~D_ustr() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  USTR* value();  // its text points into the property's own copy
  void set_value(USTR* value);

 private:
  USTR value_;
  std::string text_;
  pthread_mutex_t val_mux_;
};

// ArchiveFile: the history and data files of one machine. Booked histories
// append their samples to the data file, one line per sample:
//   "<name> <tm> <value> <status>\n"
// The history file lists booked names, one line each: "<name>\n".
class ArchiveFile {
 public:
  ArchiveFile(const std::string& hist_file, const char* data_file, bool flag);
  ~ArchiveFile();

  const std::string& hist_file() const;
  const std::string& data_file() const;
  void book(const std::string& name);
  void append(const std::string& name, const TDS& sample);

 private:
  std::string hist_file_;
  std::string data_file_;
  bool flag_;
  pthread_mutex_t mux_;  // serialises writes to the files
};

// D_hist: a history property (type 101). Keeps the recent samples in a
// bounded ring; once booked, every sample is also appended to the archive.
class D_hist : public D_fct {
 public:
  D_hist(const char* text, EqFct* owner, int capacity = 200);
  ~D_hist() override;

  // A client get returns the recent samples, oldest first, as a float array.
  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  void book_hist(ArchiveFile* archive, const std::string& name, int ring, int size);
  void fill_hist(TDS* sample, int* status);

  int sample_count();                            // samples held in the ring
  int samples(TDS* out, int max);                // copies the recent samples, oldest first
  ArchiveFile* archive();                        // where it is booked, or null
  int booked_count();                            // number of book_hist calls

 private:
  std::vector<TDS> ring_;
  size_t head_;
  size_t count_;
  ArchiveFile* archive_;
  std::string book_name_;
  int booked_;
  pthread_mutex_t val_mux_;
};

// ---------------------------------------------------------------------------
// Server globals.

extern std::string gbl_fct_name;  // type name of the location being created
extern int ring_buffer;

// ---------------------------------------------------------------------------
// The stand-in's registry of served locations, through which EqCall reaches
// properties, and its test hooks.

namespace norix {

void set_server(const std::string& facility, const std::string& device);
void serve_location(EqFct* location);    // EqCall can reach it by its name
void unserve_location(EqFct* location);  // forget it (before destroying it)
void clear_served();                     // forget every location and the server name

// Addresses whose text (EqAdr::show_adr form) is listed here answer
// get_monitor with ERR_NOT_MONITORED, so that callers fall back to get.
void set_unmonitorable(const std::string& address_text, bool unmonitorable);

long update_count();  // number of EqCall::update calls so far

}  // namespace norix

#endif  // FRAMEWORK_NORIX_H
