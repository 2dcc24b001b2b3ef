// sr_reader.cc - reading settings files: the header check, the comment
// sections, the records, and the shared file locks held while a file is
// read.
//
// The file locks are process-wide fcntl record locks and order no threads.
// A stream belongs to the call that opened it and is read by that call's
// thread alone.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "framework/base/file_beneath.h"
#include "framework/base/text.h"
#include "save_restore/internal.h"
#include "save_restore/sr_func.h"

namespace {

using sr_internal::copy_cut;
using sr_internal::copy_text;
using sr_internal::is_space;
using sr_internal::kHeader;
using sr_internal::kSaveCommentCount;
using sr_internal::kSaveCommentWords;

constexpr const char* kHeaderReadOnly = "//Save_&_Restore_R_O//";
constexpr int kDateWords = 5;  // "Www Mmm dd hh:mm:ss yyyy" as ctime gives it

constexpr size_t kHeaderWordSize = 256;  // the first word of a file
constexpr size_t kCommentWordSize = 81;  // comment words are only compared
constexpr size_t kFieldMax = 64;         // facility, device, location, property
constexpr size_t kValueMax = 255;        // every value text sr_save can write

void report(EqData* data, int code, const std::string& text) {
  if (data != nullptr) data->error(code, text);
}

// Reads the next word (a run of characters that are not white space) into
// buf, cut to size - 1 characters; the white space after it stays unread.
// Returns the whole length of the word, or -1 at the end of the file. The
// stream is the calling function's own (no other thread reads it), so its
// characters are taken without the stream's lock.
long read_word(FILE* fp, char* buf, size_t size) {
  int c = getc_unlocked(fp);
  while (c != EOF && is_space(c))
    c = getc_unlocked(fp);
  if (c == EOF) return -1;
  size_t len = 0;
  while (c != EOF && !is_space(c)) {
    if (len < size - 1) buf[len] = static_cast<char>(c);
    ++len;
    c = getc_unlocked(fp);
  }
  if (c != EOF) ungetc(c, fp);
  buf[len < size - 1 ? len : size - 1] = '\0';
  return static_cast<long>(len);
}

bool is_close(const char* word, long len) {
  return len == 1 && word[0] == ';';
}

// Skips one comment section: the words up to and including the next word
// that is exactly ";". Returns the number of words before the ";", or -1
// when the file ends first. With saved_line given, also tells whether the
// section begins with the words of the line that sr_save writes.
long skip_section(FILE* fp, bool* saved_line) {
  char word[kCommentWordSize];
  long count = 0;
  bool match = true;
  for (;;) {
    long len = read_word(fp, word, sizeof word);
    if (len < 0) return -1;
    if (is_close(word, len)) break;
    if (count < kSaveCommentCount) {
      const char* expected = kSaveCommentWords[count];
      match = match && static_cast<size_t>(len) == strlen(expected) && strcmp(word, expected) == 0;
    }
    ++count;
  }
  if (saved_line != nullptr) *saved_line = match && count >= kSaveCommentCount;
  return count;
}

// Skips the two comment sections after the header. A file that sr_save
// wrote closes its first section with "file;" (part of a word), so the
// reader sees one section of exactly that line and the date, closed by the
// lone ";" after the date: such a section stands for both. Any other file
// has two sections, each closed by a lone ";". False at the end of file.
bool skip_comments(FILE* fp) {
  bool saved_line = false;
  long count = skip_section(fp, &saved_line);
  if (count < 0) return false;
  if (saved_line && count == kSaveCommentCount + kDateWords) return true;
  return skip_section(fp, nullptr) >= 0;
}

// Reads a value: the next word; a lone ";" gives " "; otherwise the word
// and every character up to the next ";", less that ";" and the one
// character before it. Returns false at the end of the file. *fits is false
// when the value is longer than kValueMax (nothing is written past buf) or
// holds a zero byte, which would cut it short as text.
bool read_value(FILE* fp, char (&buf)[kValueMax + 2], bool* fits) {
  long len = read_word(fp, buf, sizeof buf);
  if (len < 0) return false;
  *fits = true;
  if (is_close(buf, len)) {
    copy_cut(buf, sizeof buf, " ");
    return true;
  }
  size_t n = static_cast<size_t>(len);
  bool zero = strlen(buf) < std::min(n, sizeof buf - 1);
  for (;;) {
    int c = getc_unlocked(fp);
    if (c == EOF) return false;
    if (c == ';') break;
    if (c == '\0') zero = true;
    if (n < sizeof buf - 1) buf[n] = static_cast<char>(c);
    ++n;
  }
  if (n > kValueMax + 1 || zero) {
    *fits = false;
    n = std::min(n, kValueMax + 1);
  }
  buf[n - 1] = '\0';  // n >= 2: the word and the white space after it
  return true;
}

bool parse_type(const char* word, long len, int* type) {
  if (len <= 0 || len > 20 || strlen(word) != static_cast<size_t>(len)) return false;
  long long v = 0;
  if (!norix::internal::parse_integer(word, 10, INT_MIN, INT_MAX, &v)) return false;
  *type = static_cast<int>(v);
  return true;
}

}  // namespace

namespace sr_internal {

// Reads the rest of a stream that open_file returned and appends one item
// per record. A record cut short by the end of the file is dropped, and so
// is one with a field or value too long for its buffer or holding a zero
// byte (as text it would be cut short: a field could come out empty and the
// record would not read back once saved), or a type word that is not a
// number; such a record is read to its ";" so that the next one is found.
// Releases the lock and closes the stream.
void read_fill(FILE* fp, std::vector<sr_data*>* list) {
  if (skip_comments(fp)) {
    char field[4][kFieldMax + 1];
    char type_word[24];
    char value[kValueMax + 2];
    EqAdr adr;
    for (;;) {
      bool fits = true;
      int i = 0;
      for (; i < 4; ++i) {
        long len = read_word(fp, field[i], sizeof field[i]);
        if (len < 0) break;
        fits = fits && static_cast<size_t>(len) <= kFieldMax &&
               strlen(field[i]) == static_cast<size_t>(len);
      }
      if (i < 4) break;
      long len = read_word(fp, type_word, sizeof type_word);
      if (len < 0) break;
      int type = 0;
      fits = parse_type(type_word, len, &type) && fits;
      bool value_fits = true;
      if (!read_value(fp, value, &value_fits)) break;
      if (!fits || !value_fits) continue;
      if (type == 0) copy_cut(value, sizeof value, "  ");
      adr.set(field[0], field[2], field[1], field[3]);
      sr_data* item = new sr_data;
      item->name_ = copy_text(adr.show_adr().c_str());
      item->value_ = copy_text(value);
      item->type_ = type;
      list->push_back(item);
    }
  }
  file_unlock(fileno(fp));
  fclose(fp);
}

// Opens file and reads its items into list (emptied first). False when the
// file cannot be opened or is not a settings file; data tells why.
bool load(char* file, EqData* data, ItemList* list) {
  clear_list(list->get());
  FILE* fp = open_file(file, data);
  if (fp == nullptr) return false;
  read_fill(fp, list->get());
  return true;
}

}  // namespace sr_internal

using sr_internal::ItemList;
using sr_internal::read_fill;

void file_lock(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  while (fcntl(fd, F_SETLKW, &lock) == -1 && errno == EINTR) {
  }
}

void file_unlock(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  fcntl(fd, F_SETLK, &lock);
}

// A regular file opened for reading, or null with errno set. Opened without
// blocking, so that a FIFO or a device named as a settings file is refused
// instead of stopping the caller for good.
namespace {

FILE* open_regular(const char* file, std::string* why) {
  // A file in the settings folder is opened beneath it: a link swapped in
  // since its name was checked cannot lead the open out.
  int fd = file != nullptr
               ? norix::open_confined(file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0)
               : -1;
  if (fd < 0) {
    *why = strerror(file != nullptr ? errno : ENOENT);
    return nullptr;
  }
  struct stat st;
  FILE* fp = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
  } else if ((fp = fdopen(fd, "r")) == nullptr) {
    *why = strerror(errno);
  }
  if (fp == nullptr) close(fd);
  return fp;
}

}  // namespace

// The stream is returned locked; read_fill releases and closes it.
FILE* open_file(char* file, EqData* data) {
  std::string why;
  FILE* fp = open_regular(file, &why);
  if (fp == nullptr) {
    report(data, SR_ERR_OPEN, "open err: " + why);
    return nullptr;
  }
  file_lock(fileno(fp));
  rewind(fp);
  char word[kHeaderWordSize] = {};
  long len = read_word(fp, word, sizeof word);
  int code = 0;
  if (len < 0) {
    code = SR_ERR_READ;
    report(data, code, "read err");
  } else if (strcmp(word, kHeader) != 0 && strcmp(word, kHeaderReadOnly) != 0) {
    code = SR_ERR_NOT_SR;
    report(data, code, "not sr file");
  }
  if (code != 0) {
    file_unlock(fileno(fp));
    fclose(fp);
    return nullptr;
  }
  return fp;
}

int fill_list(char* file, EqData* data, std::vector<sr_data*>** list) {
  if (list == nullptr || *list == nullptr) return 1;
  FILE* fp = open_file(file, data);
  if (fp == nullptr) return 1;
  read_fill(fp, *list);
  return 0;
}

int get_item(char* file, int i, sr_data** d_p_) {
  if (i <= 0 || d_p_ == nullptr || *d_p_ == nullptr) return 1;
  ItemList items;
  EqData data;
  std::vector<sr_data*>* list = items.get();
  if (fill_list(file, &data, &list) != 0) return 1;
  if (static_cast<size_t>(i) > items.items().size()) return 1;
  const sr_data* item = items.items()[static_cast<size_t>(i) - 1];
  (*d_p_)->name_ = copy_text(item->name_);
  (*d_p_)->value_ = copy_text(item->value_);
  (*d_p_)->type_ = item->type_;
  return 0;
}
