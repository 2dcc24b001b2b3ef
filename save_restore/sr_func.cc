// sr_func.cc - settings files of device properties: the reader and its file
// locks, item lists, save, restore, compare, and statistics over a value.
//
// Lock order: a state's data item lock (data_lock) is taken before
// norix_mux, and norix_mux is held only around one client call. The file
// locks are process-wide fcntl record locks and order no threads.
//
// Nothing survives a call: every item list, stream and buffer belongs to the
// call that made it and is released on every return, so any number of
// threads may use these functions at once.

#include "save_restore/sr_func.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "fsm/fsm_core.h"

namespace {

constexpr const char* kHeader = "//Save_&_Restore//";
constexpr const char* kHeaderReadOnly = "//Save_&_Restore_R_O//";
// The line sr_save writes after the header; its ";" is part of the word
// "file;", so on reading it does not close the first comment section.
constexpr const char* kSaveComment = " FSM created Save & Restore file;\n";
constexpr const char* kSaveCommentWords[] = {"FSM", "created", "Save", "&", "Restore", "file;"};
constexpr int kSaveCommentCount = 6;
constexpr int kDateWords = 5;  // "Www Mmm dd hh:mm:ss yyyy" as ctime gives it

constexpr size_t kHeaderWordSize = 256;  // the first word of a file
constexpr size_t kCommentWordSize = 81;  // comment words are only compared
constexpr size_t kFieldMax = 64;         // facility, device, location, property
constexpr size_t kValueMax = 255;        // every value text sr_save can write
constexpr size_t kTextSize = 256;        // a value text as saved or written
constexpr size_t kBigTextSize = 4000;    // a value text read for comparison
constexpr size_t kNameReportMax = 127;   // compare_all's report of an address
constexpr size_t kAnswerReportMax = 80;  // compare_all's report of an answer
constexpr long long kNsPerSecond = 1000LL * 1000 * 1000;
constexpr long long kPauseSliceNs = 50LL * 1000 * 1000;  // how soon a stop ends a pause

bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char* copy_text(const char* text) {
  size_t n = strlen(text);
  char* copy = new char[n + 1];
  memcpy(copy, text, n + 1);
  return copy;
}

// Copies text into buf (size bytes), cut to fit and always terminated.
void copy_cut(char* buf, size_t size, const char* text) {
  size_t n = strnlen(text, size - 1);
  memcpy(buf, text, n);
  buf[n] = '\0';
}

void tabs_to_blanks(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\t') *text = ' ';
  }
}

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
  char* end = nullptr;
  errno = 0;
  long v = strtol(word, &end, 10);
  if (errno != 0 || end == word || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *type = static_cast<int>(v);
  return true;
}

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
bool load(char* file, EqData* data, ItemList* list) {
  clear_list(list->get());
  FILE* fp = open_file(file, data);
  if (fp == nullptr) return false;
  read_fill(fp, list->get());
  return true;
}

// One client call through norix_call, holding norix_mux around it alone (a
// data item lock, if any, is taken before). The answer is cleared first;
// its error() tells the outcome.
template <typename Call>
void client_call(EqData* answer, Call call) {
  answer->init();
  pthread_mutex_lock(&norix_mux);
  bool have_client = norix_call != nullptr;
  if (have_client) call(norix_call);
  pthread_mutex_unlock(&norix_mux);
  if (!have_client) answer->error(ERR_UNREACHABLE, "server unreachable");
}

void client_get(EqAdr* adr, EqData* request, EqData* answer) {
  client_call(answer, [&](EqCall* c) { c->get(adr, request, answer); });
}

// The text of the state's data item h into buf (size bytes, cut to fit).
// Called with the item locked. The state composes the text into an array of
// its own making, so a text of any length is read safely. 0 on success.
int state_text(FSMstate* sp, int h, char* buf, size_t size) {
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

// The number in a value text: what "%f" reads for type 1 or 2, else 0.
float get_value(int type, const char* val) {
  float v = 0.0f;
  if ((type == DATA_INT || type == DATA_FLOAT) && val != nullptr && val[0] != '\0') {
    if (sscanf(val, "%f", &v) != 1) v = 0.0f;
  }
  return v;
}

bool stop_set(int* stop) {
  return stop != nullptr && __atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0;
}

// The pause after each compared item, in whole seconds: f3 cut toward zero,
// at least 1 (also for a negative or not-a-number f3).
int pause_seconds(float f3) {
  if (!(f3 >= 1.0f)) return 1;
  if (f3 >= 2147483647.0f) return INT_MAX;
  return static_cast<int>(f3);
}

long long monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * kNsPerSecond + t.tv_nsec;
}

// Waits the pause in short slices so that a stop set meanwhile ends it.
// True when the stop flag was seen.
bool pause_or_stop(int seconds, int* stop) {
  const long long end = monotonic_ns() + seconds * kNsPerSecond;
  for (;;) {
    if (stop_set(stop)) return true;
    long long left = end - monotonic_ns();
    if (left <= 0) return false;
    long long slice = left < kPauseSliceNs ? left : kPauseSliceNs;
    timespec t{static_cast<time_t>(slice / kNsPerSecond), static_cast<long>(slice % kNsPerSecond)};
    nanosleep(&t, nullptr);
  }
}

// The file that sr_save writes: a fresh file beside the destination that is
// renamed onto it once complete, so that a reader sees either the old file
// or the whole new one, and a destination that is also the source is read
// whole before it is replaced.
class SaveTarget {
 public:
  SaveTarget() = default;
  SaveTarget(const SaveTarget&) = delete;
  SaveTarget& operator=(const SaveTarget&) = delete;
  ~SaveTarget() { discard(); }

  // Creates the fresh file. False when the destination cannot be written.
  bool open(const char* new_file) {
    struct stat st;
    bool exists = lstat(new_file, &st) == 0;
    path_ = new_file;
    if (exists) {
      // Replace what a plain write would have written through: the file a
      // symbolic link names. A file we may not write stays untouched.
      char* real = realpath(new_file, nullptr);
      if (real != nullptr) {
        path_ = real;
        free(real);
      }
      if (stat(path_.c_str(), &st) == 0 && access(path_.c_str(), W_OK) != 0) return false;
    }
    size_t slash = path_.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    static unsigned counter = 0;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      unsigned n = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
      tmp_ = dir + ".sr_save." + std::to_string(getpid()) + "." + std::to_string(n);
      fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      tmp_.clear();
      return false;
    }
    if (exists && stat(path_.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
    fp_ = fdopen(fd, "w");
    if (fp_ == nullptr) {
      close(fd);
      discard();
      return false;
    }
    return true;
  }

  FILE* stream() { return fp_; }

  // True when the destination is the file open as fd (the source).
  bool same_file(int fd) const {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path_.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
  }

  // Completes the fresh file and renames it onto the destination.
  bool commit() {
    bool ok = fflush(fp_) == 0 && ferror(fp_) == 0 && fsync(fileno(fp_)) == 0;
    ok = fclose(fp_) == 0 && ok;
    fp_ = nullptr;
    if (ok) ok = rename(tmp_.c_str(), path_.c_str()) == 0;
    if (ok) tmp_.clear();
    discard();
    return ok;
  }

  // Drops the fresh file; the destination stays as it was.
  void discard() {
    if (fp_ != nullptr) fclose(fp_);
    fp_ = nullptr;
    if (!tmp_.empty()) unlink(tmp_.c_str());
    tmp_.clear();
  }

 private:
  std::string path_;
  std::string tmp_;
  FILE* fp_ = nullptr;
};

// The reader takes a value up to the next ";", so a text holding one cannot
// be saved as a value.
bool can_save(const char* text) {
  return strchr(text, ';') == nullptr;
}

void write_record(FILE* fp, const EqAdr& adr, int type, const char* value) {
  fprintf(fp, "%s %s %s %s\t%d\t%s\t;\n", adr.facility(), adr.device(), adr.location(),
          adr.property(), type, value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Files and item lists.

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

// The stream is returned locked; read_fill releases and closes it.
FILE* open_file(char* file, EqData* data) {
  FILE* fp = file != nullptr ? fopen(file, "re") : nullptr;
  if (fp == nullptr) {
    report(data, SR_ERR_OPEN, "open err");
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

void clear_list(std::vector<sr_data*>* list) {
  if (list == nullptr) return;
  for (sr_data* item : *list) {
    if (item == nullptr) continue;
    delete[] item->name_;
    delete[] item->value_;
    delete item;
  }
  list->clear();
}

void clear(std::vector<char*>* list) {
  if (list == nullptr) return;
  for (char* text : *list)
    delete[] text;
  delete list;
}

int fill_struct(char* svr, std::vector<sr_data*>* list, int op) {
  if (svr == nullptr || list == nullptr) return 1;
  EqAdr adr;
  adr.adr(svr);
  EqData request;
  EqData answer;
  // Appends the error item for the names request on adr that failed.
  auto fail = [&]() {
    char text[kTextSize];
    sr_data* item = new sr_data;
    item->name_ = copy_text(adr.show_adr().c_str());
    item->value_ = copy_text(answer.get_string(text, sizeof text));
    item->type_ = 0;
    list->push_back(item);
  };
  auto ask_names = [&]() {
    client_call(&answer, [&](EqCall* c) { c->names(&adr, &answer); });
    return answer.error() == 0;
  };

  std::vector<char*>* locations = new std::vector<char*>;
  int rc = 0;
  if (adr.location()[0] == '\0') {
    std::string facility = adr.facility();
    std::string device = adr.device();
    adr.set(facility, "*", device, "");
    if (!ask_names()) {
      fail();
      rc = 1;
    }
    for (int i = 0; rc == 0 && i < answer.length(); ++i) {
      USTR* entry = answer.get_ustr(i);
      if (entry != nullptr && entry->str_data.str_data_val != nullptr) {
        locations->push_back(copy_text(entry->str_data.str_data_val));
      }
    }
  } else {
    locations->push_back(copy_text(adr.location()));
  }

  for (size_t l = 0; rc == 0 && l < locations->size(); ++l) {
    adr.set_location((*locations)[l]);
    adr.set_property("*");
    if (!ask_names()) {
      fail();
      rc = 1;
      break;
    }
    bool fnd = op != 0;
    for (int i = 0; i < answer.length(); ++i) {
      USTR* entry = answer.get_ustr(i);
      if (entry == nullptr || entry->str_data.str_data_val == nullptr) continue;
      const char* text = entry->str_data.str_data_val;
      while (*text != '\0' && is_space(static_cast<unsigned char>(*text)))
        ++text;
      size_t n = 0;
      while (text[n] != '\0' && !is_space(static_cast<unsigned char>(text[n])))
        ++n;
      if (n == 0) continue;
      std::string name(text, n);
      if (name.find("FLOW_") != std::string::npos) {
        fnd = true;
        continue;
      }
      if (!fnd) continue;
      adr.set_property(name);
      sr_data* item = new sr_data;
      item->name_ = copy_text(adr.show_adr().c_str());
      item->value_ = copy_text("");
      item->type_ = entry->i1_data;
      list->push_back(item);
    }
  }
  clear(locations);
  return rc;
}

// ---------------------------------------------------------------------------
// Save, restore, compare.

int sr_save(char* file, char* new_file, EqData* data, FSMstate* sp) {
  time_t started = time(nullptr);
  FILE* src = open_file(file, data);
  if (src == nullptr) return 1;
  SaveTarget target;
  if (new_file == nullptr || !target.open(new_file)) {
    file_unlock(fileno(src));
    fclose(src);
    return 1;
  }
  bool same_file = target.same_file(fileno(src));
  ItemList items;
  read_fill(src, items.get());

  char date[64];
  if (ctime_r(&started, date) == nullptr) copy_cut(date, sizeof date, "Thu Jan  1 00:00:00 1970\n");
  FILE* out = target.stream();
  fprintf(out, "%s\n%s %s ;\n", kHeader, kSaveComment, date);

  int rc = 0;
  EqAdr adr;
  EqData request;
  EqData answer;
  char value[kTextSize];
  for (const sr_data* item : items.items()) {
    adr.adr(item->name_);
    const char* text = item->value_;
    if (sp != nullptr) {
      int h = sp->data_open(adr.property(), 0);
      if (h != -1 && sp->data_lock(h, 0) == 0) {
        if (state_text(sp, h, value, sizeof value) == 0) text = value;
        sp->data_unlock(h, 0);
      }
    } else {
      request.init();
      client_get(&adr, &request, &answer);
      if (answer.error() != 0) {
        answer.get_string(value, sizeof value);
        write_record(out, adr, item->type_, can_save(value) ? value : item->value_);
        // The file ends with the failed record; a source that is also the
        // destination keeps its records instead.
        if (!same_file) target.commit();
        return 1;
      }
      text = answer.get_string(value, sizeof value);
    }
    if (!can_save(text)) {
      text = item->value_;
      rc = 1;
    }
    write_record(out, adr, item->type_, text);
  }
  if (!target.commit()) rc = 1;
  return rc;
}

int restore_all(char* file, EqData* data, SrOption op, int stop, FSMstate* sp) {
  EqData scratch;
  if (data == nullptr) data = &scratch;
  ItemList items;
  if (!load(file, data, &items)) return 1;
  if (op != SR_SET_FROM_FILE && op != SR_ADD_FROM_DATA && op != SR_SET_FROM_DATA &&
      op != SR_CHECK_CORRECT) {
    return 0;
  }
  // The caller's value is taken once, before a failed write leaves its
  // answer in data.
  char given[kTextSize] = {};
  float given_number = 0.0f;
  if (op == SR_ADD_FROM_DATA) {
    char* big = new char[kBigTextSize];
    given_number = get_value(data->type(), data->get_string(big, kBigTextSize));
    delete[] big;
  } else if (op == SR_SET_FROM_DATA) {
    data->get_string(given, sizeof given);
  }

  EqAdr adr;
  EqData request;
  EqData answer;
  char text[kTextSize];
  std::vector<char> live(kBigTextSize);
  for (sr_data* item : items.items()) {
    request.init();
    request.set_type(item->type_);
    adr.adr(item->name_);
    int h = -1;
    if (op == SR_SET_FROM_FILE || op == SR_CHECK_CORRECT) {
      copy_cut(text, sizeof text, item->value_);
    } else if (op == SR_ADD_FROM_DATA) {
      snprintf(text, sizeof text, "%g",
               static_cast<double>(get_value(item->type_, item->value_) + given_number));
    } else {
      copy_cut(text, sizeof text, given);
    }

    if (sp != nullptr) h = sp->data_open(adr.property(), 0);
    if (sp != nullptr && h == -1) {
      if (stop == 0) continue;
      std::string msg = std::string(adr.property()) + " not found";
      sp->set_error(msg.c_str());
      return 1;
    }

    if (op == SR_CHECK_CORRECT) {
      if (sp != nullptr) {
        // An item whose text cannot be read is left as it is.
        if (sp->data_lock(h, 0) == 0) {
          if (state_text(sp, h, live.data(), live.size()) == 0) {
            tabs_to_blanks(live.data());
            if (strcmp(live.data(), item->value_) != 0) sp->data_set(h, text, 0);
          }
          sp->data_unlock(h, 0);
        }
        continue;
      }
      client_get(&adr, &request, &answer);
      if (answer.error() != 0) continue;
      answer.get_string(live.data(), live.size());
      tabs_to_blanks(live.data());
      if (strcmp(live.data(), item->value_) == 0) continue;
    }

    if (sp != nullptr) {
      if (sp->data_lock(h, 0) == 0) {
        sp->data_set(h, text, 0);
        sp->data_unlock(h, 0);
      }
      continue;
    }
    if (request.set_from_string(text) != 0) {
      // Writing the request now would set the property to a zero value.
      answer.init();
      answer.error(ERR_WRONG_TYPE, "wrong data type");
    } else {
      client_call(&answer, [&](EqCall* c) { c->set(&adr, &request, &answer); });
    }
    if (answer.error() != 0) {
      data->copy_from(&answer);
      if (stop != 0) return 1;
    }
  }
  return 0;
}

int compare_all(char* file, EqData* data, SrOption op, int* stop) {
  if (data == nullptr || data->type() != DATA_IFFF) return 1;
  FILE* fp = open_file(file, data);
  if (fp == nullptr) return 1;
  int method = 0;
  float low = 0.0f;
  float high = 0.0f;
  float f3 = 0.0f;
  data->get_ifff(&method, &low, &high, &f3);
  int pause = pause_seconds(f3);
  ItemList items;
  read_fill(fp, items.get());

  EqAdr adr;
  EqData request;
  EqData answer;
  char text[kTextSize];
  for (;;) {
    if (stop_set(stop)) return 0;
    if (method == 0 && !load(file, data, &items)) return 1;
    bool differs_seen = false;
    size_t failed = 0;
    int k = 1;
    for (const sr_data* item : items.items()) {
      adr.adr(item->name_);
      request.init();
      client_get(&adr, &request, &answer);
      answer.get_string(text, sizeof text);
      if (answer.error() != 0) {
        if (op == SR_COMP_NOT_CORRECT) {
          char msg[128];
          snprintf(msg, sizeof msg, "item %d: %.80s", k, text);
          data->error(SR_ERR_COMPARE, msg);
          return k;
        }
        ++failed;
        ++k;
        continue;
      }
      tabs_to_blanks(text);
      float a = get_value(item->type_, item->value_);
      float b = get_value(answer.type(), text);
      float d = fabsf(a - b);
      bool differs = differs_seen;
      if (method == 0 || method == 1) {
        if (!differs_seen) differs_seen = differs = strcmp(item->value_, text) != 0;
      } else if (method == 2) {
        if (d > 0.0f && (d <= low || d >= high)) differs_seen = differs = true;
      } else if (method == 3) {
        if (d > 0.0f && ((b != 0.0f && d > fabsf(b * low)) || (a != 0.0f && d > fabsf(a * low)))) {
          differs_seen = differs = true;
        }
      }
      if (op == SR_COMP_NOT_CORRECT && differs) {
        data->error(SR_ERR_COMPARE, std::string(item->name_, strnlen(item->name_, kNameReportMax)));
        return k;
      }
      if (stop_set(stop)) return 0;
      if (pause_or_stop(pause, stop)) return 0;
      ++k;
    }
    if (failed == items.items().size()) {
      answer.get_string(text, kAnswerReportMax + 1);
      data->error(answer.error(), text);
      return -1;
    }
    if (!differs_seen && op == SR_COMP_CORRECT) return 0;
  }
}

// ---------------------------------------------------------------------------
// Statistics.

float calc_data(OpFunc func, EqData* data) {
  if (data == nullptr) return 0.0f;
  int type = data->type();
  if (type == DATA_INT || type == DATA_FLOAT || type == DATA_DOUBLE) {
    float v = data->get_float();
    return func == RMS || func == Abs ? fabsf(v) : v;
  }
  if (type != DATA_SPECTRUM && type != DATA_A_FLOAT) return 0.0f;
  if (func == Abs) return fabsf(data->get_float(0));
  if (func < No || func > Sum) return 0.0f;
  if (func == No) return data->get_float(0);

  const float* x = data->get_float_array();
  int n = x != nullptr ? data->length() : 0;
  const float kStart = 1.0e11f;
  float high = -kStart;
  float low = kStart;
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) {
    if (x[i] > high) high = x[i];
    if (x[i] < low) low = x[i];
    sum += x[i];
  }
  switch (func) {
    case Max:
      return high;
    case Min:
      return low;
    case Delta:
      return high - low;
    case Mean:
      return n > 0 ? sum / static_cast<float>(n) : 0.0f;
    case Sum:
      return sum;
    case RMS: {
      if (n < 1) return 0.0f;
      float mean = sum / static_cast<float>(n);
      float squares = 0.0f;
      for (int i = 0; i < n; ++i)
        squares += (x[i] - mean) * (x[i] - mean);
      if (n == 1) return squares;
      return sqrtf(squares) / static_cast<float>(n - 1);
    }
    default:
      return 0.0f;
  }
}
