// sr_func.h - settings files of device properties: reading, saving,
// restoring and comparing them, and statistics over a data value.
//
// Results are 0 for success and 1 for failure unless stated. Every client
// call goes through norix_call, which needs no lock; no function keeps state
// between calls, so several threads may use them at once.

#ifndef SAVE_RESTORE_SR_FUNC_H
#define SAVE_RESTORE_SR_FUNC_H

#include <stdio.h>

#include <vector>

#include "framework/norix.h"

class FSMstate;

// Error codes written into the caller's EqData.
constexpr int SR_ERR_OPEN = 302;     // "open err"
constexpr int SR_ERR_NOT_SR = 303;   // "not sr file"
constexpr int SR_ERR_READ = 304;     // "read err"
constexpr int SR_ERR_COMPARE = 309;  // compare_all's item report

// One item of a settings file: a property's address, its value as text and
// the data type code of the value. The strings are owned (array new).
class sr_data {
 public:
  char* name_;
  char* value_;
  int type_;
};

enum SrOption {
  SR_SET_FROM_FILE = 0,
  SR_ADD_FROM_DATA = 1,
  SR_SET_FROM_DATA = 2,
  SR_CHECK_CORRECT = 3,
  SR_COMP_CORRECT = 4,
  SR_COMP_NOT_CORRECT = 5,
};

enum OpFunc {
  No = 0,
  Max = 1,
  Min = 2,
  Delta = 3,
  Mean = 4,
  RMS = 5,
  Abs = 6,
  Sum = 7,
};

// Opens a settings file for reading under a shared lock and checks its
// header; the stream stands after the header word, still locked. Null on
// failure, with 302, 303 or 304 in data.
FILE* open_file(char* file, EqData* data);
void file_lock(int fd);    // shared lock over the whole file; waits
void file_unlock(int fd);  // releases it

// Appends one item per record of file to **list (the caller's vector).
int fill_list(char* file, EqData* data, std::vector<sr_data*>** list);
// Copies item i (counting from 1) of file into **d_p_.
int get_item(char* file, int i, sr_data** d_p_);
// Deletes every item and empties the vector (the vector stays the caller's).
void clear_list(std::vector<sr_data*>* list);
// Deletes every string, then the vector itself.
void clear(std::vector<char*>* list);
// Appends one item per property of the live server svr (see op).
int fill_struct(char* svr, std::vector<sr_data*>* list, int op);

// Writes new_file with the present value of every property listed in file.
// The new file is written beside new_file and renamed onto it, so readers
// see the old file or the whole new one, and new_file may be file itself.
// 1 also when a present value held a ";" and the file's old value was kept.
int sr_save(char* file, char* new_file, EqData* data, FSMstate* sp);
// Sets (or checks and corrects) every property listed in file.
int restore_all(char* file, EqData* data, SrOption op, int stop, FSMstate* sp);
// Compares the live values against file in passes until a condition is met
// or *stop becomes non-zero (another thread may set it at any time).
// Returns 0, 1, a positive item number, or -1.
int compare_all(char* file, EqData* data, SrOption op, int* stop);

// The statistic func of the value in data.
float calc_data(OpFunc func, EqData* data);

#endif  // SAVE_RESTORE_SR_FUNC_H
