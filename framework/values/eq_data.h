// eq_data.h - values as clients and properties exchange them: the data type
// codes, the records, and EqData, the container of one typed value.

#ifndef FRAMEWORK_VALUES_EQ_DATA_H
#define FRAMEWORK_VALUES_EQ_DATA_H

#include <stdint.h>
#include <time.h>

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

#endif  // FRAMEWORK_VALUES_EQ_DATA_H
