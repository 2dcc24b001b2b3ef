// internal.h - helpers shared by the settings-file sources; not part of
// the library's interface.
//
// Lock order (fsm/fsm_core.h): a state's data item lock (data_lock, L2) may
// be held around a client call; the call itself takes no library lock.

#ifndef SAVE_RESTORE_INTERNAL_H
#define SAVE_RESTORE_INTERNAL_H

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "framework/values/errors.h"
#include "fsm/fsm_core.h"
#include "save_restore/sr_func.h"

namespace sr_internal {

constexpr const char* kHeader = "//Save_&_Restore//";
// The line sr_save writes after the header, and its words as the reader
// sees them: the ";" is part of the word "file;", so on reading it does not
// close the first comment section.
constexpr const char* kSaveComment = " FSM created Save & Restore file;\n";
constexpr const char* kSaveCommentWords[] = {"FSM", "created", "Save", "&", "Restore", "file;"};
constexpr int kSaveCommentCount = 6;

constexpr size_t kTextSize = 256;  // a value text as saved or written

inline bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A copy of text. The caller releases it with delete[].
inline char* copy_text(const char* text) {
  size_t n = strlen(text);
  char* copy = new char[n + 1];
  memcpy(copy, text, n + 1);
  return copy;
}

// Copies text into buf (size bytes), cut to fit and always terminated.
inline void copy_cut(char* buf, size_t size, const char* text) {
  size_t n = strnlen(text, size - 1);
  memcpy(buf, text, n);
  buf[n] = '\0';
}

// Reads the rest of a stream that open_file returned and appends one item
// per record; releases the lock and closes the stream.
void read_fill(FILE* fp, std::vector<sr_data*>* list);

// An item list that belongs to one call and is released on every return.
class ItemList {
 public:
  ItemList() = default;
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  ~ItemList() { clear_list(&items_); }

  std::vector<sr_data*>* get() { return &items_; }
  const std::vector<sr_data*>& items() const { return items_; }

 private:
  std::vector<sr_data*> items_;
};

// Opens file and reads its items into list (emptied first). False when the
// file cannot be opened or is not a settings file; data tells why.
bool load(char* file, EqData* data, ItemList* list);

// One client call through norix_call, without a lock of its own: a slow
// peer holds up only this caller. The answer is cleared first; its error()
// tells the outcome.
template <typename Call>
void client_call(EqData* answer, Call call) {
  answer->init();
  if (norix_call != nullptr) {
    call(norix_call);
  } else {
    answer->error(ERR_UNREACHABLE, norix::error_text(ERR_UNREACHABLE));
  }
}

inline void client_get(EqAdr* adr, EqData* request, EqData* answer) {
  client_call(answer, [&](EqCall* c) { c->get(adr, request, answer); });
}

// The text of the state's data item h into buf (size bytes, cut to fit).
// Called with the item locked. The state composes the text into an array of
// its own making, so a text of any length is read safely. 0 on success.
inline int state_text(FSMstate* sp, int h, char* buf, size_t size) {
  char* text = nullptr;
  int rc = sp->data_get(h, &text, 0);
  if (rc == 0 && text != nullptr) {
    copy_cut(buf, size, text);
  } else {
    rc = -1;
  }
  delete[] text;
  return rc;
}

// Hands the result rc of a settings operation (what: "save", "restore",
// "compare") on file to the server's journal, with the error text left in
// data or, for a failed restore on sp, in sp's error. Callers test
// norix::journal_on() first.
void journal_result(const char* what, const char* file, int rc, const EqData* data, FSMstate* sp);

}  // namespace sr_internal

#endif  // SAVE_RESTORE_INTERNAL_H
