// properties.h - the property classes that hold a value: text, scalars,
// records, and the history property.

#ifndef FRAMEWORK_OBJECTS_PROPERTIES_H
#define FRAMEWORK_OBJECTS_PROPERTIES_H

#include <pthread.h>
#include <stddef.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "framework/objects/eq_fct.h"

class ArchiveFile;

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

// D_record<R, TYPE>: the body of the record classes D_iiii and D_dig_filter,
// a property that holds one record R of EqData type TYPE. It adds no
// virtual function of its own, so the classes keep D_fct's virtual order
// followed by the fields value_ and val_mux_.
//
// The record classes hand out a pointer to their own record. Their
// set_value and client writes change it under the value mutex, inside the
// op_lock() for client writes; a reader through the pointer on another
// thread than the writer's holds op_lock() while it reads.
template <typename R, int TYPE>
class D_record : public D_fct {
 public:
  D_record(const char* text, EqFct* owner);
  ~D_record() override;

  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override;
  void set(EqAdr* address, EqData* value, EqData* result, EqFct* location) override;
  using D_fct::data_type;
  int data_type() const override;

  R* value();                // the property's own record
  void set_value(R* value);  // null is ignored

 private:
  R value_;
  pthread_mutex_t val_mux_;  // guards value_
};

extern template class D_record<IIII, DATA_IIII>;
extern template class D_record<IFFF, DATA_IFFF>;

}  // namespace norix

// D_iiii: an IIII property (type 14).
class D_iiii : public norix::D_record<IIII, DATA_IIII> {
 public:
  D_iiii(const char* text, EqFct* owner) : D_record(text, owner) {}
};

// D_dig_filter: an IFFF property (type 15).
class D_dig_filter : public norix::D_record<IFFF, DATA_IFFF> {
 public:
  D_dig_filter(const char* text, EqFct* owner) : D_record(text, owner) {}
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
  // there as "<name>/<property name>"; its samples then go to the archive.
  // ring and size are not used: the ring's capacity is fixed at construction.
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

#endif  // FRAMEWORK_OBJECTS_PROPERTIES_H
