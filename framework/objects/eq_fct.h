// eq_fct.h - the server base: a location (EqFct), its general status, the
// property base class (D_fct), and the globals of location creation.

#ifndef FRAMEWORK_OBJECTS_EQ_FCT_H
#define FRAMEWORK_OBJECTS_EQ_FCT_H

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/objects/saved_values.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"

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
  // Added after the fields above: the first property of props_ with each
  // name, so that a lookup by name does not scan a long list (monitor
  // connections read every subscription this way). Guarded by list_mux_.
  std::unordered_map<std::string, D_fct*> by_name_;
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

extern std::string gbl_fct_name;  // type name of the location being created
extern int ring_buffer;           // passed to every history booking; 0

#endif  // FRAMEWORK_OBJECTS_EQ_FCT_H
