// sr_save.cc - saving the present values of the properties a settings file
// lists into a settings file.
//
// The new file is composed in memory and replaces the destination whole
// (norix::replace_file_confined, which stays beneath the settings folder),
// so a reader sees the old file or the new one, and a destination that is
// also the source is read whole before it is replaced.

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "framework/base/file_replace.h"
#include "framework/objects/journal.h"
#include "save_restore/internal.h"
#include "save_restore/sr_func.h"

namespace {

using sr_internal::client_get;
using sr_internal::copy_cut;
using sr_internal::ItemList;
using sr_internal::kTextSize;
using sr_internal::state_text;

// True when path names the file open as fd.
bool names_file(const char* path, int fd) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The reader takes a value up to the next ";", so a text holding one cannot
// be saved as a value.
bool can_save(const char* text) {
  return strchr(text, ';') == nullptr;
}

void add_record(std::string* out, const EqAdr& adr, int type, const char* value) {
  *out += std::string(adr.facility()) + " " + adr.device() + " " + adr.location() + " " +
          adr.property() + "\t" + std::to_string(type) + "\t" + value + "\t;\n";
}

// The settings file as composed so far replaces new_file; false on failure.
bool replace(const char* new_file, const std::string& text) {
  std::string why;
  return norix::replace_file_confined(new_file, text, &why) == 0;
}

// sr_save, less its journal record.
int save_items(char* file, char* new_file, EqData* data, FSMstate* sp) {
  time_t started = time(nullptr);
  FILE* src = open_file(file, data);
  if (src == nullptr) return 1;
  if (new_file == nullptr) {
    file_unlock(fileno(src));
    fclose(src);
    return 1;
  }
  bool same_file = names_file(new_file, fileno(src));
  ItemList items;
  sr_internal::read_fill(src, items.get());

  char date[64];
  if (ctime_r(&started, date) == nullptr) copy_cut(date, sizeof date, "Thu Jan  1 00:00:00 1970\n");
  std::string out =
      std::string(sr_internal::kHeader) + "\n" + sr_internal::kSaveComment + " " + date + " ;\n";

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
        add_record(&out, adr, item->type_, can_save(value) ? value : item->value_);
        // The file ends with the failed record; a source that is also the
        // destination keeps its records instead.
        if (!same_file) replace(new_file, out);
        return 1;
      }
      text = answer.get_string(value, sizeof value);
    }
    if (!can_save(text)) {
      text = item->value_;
      rc = 1;
    }
    add_record(&out, adr, item->type_, text);
  }
  if (!replace(new_file, out)) rc = 1;
  return rc;
}

}  // namespace

int sr_save(char* file, char* new_file, EqData* data, FSMstate* sp) {
  int rc = save_items(file, new_file, data, sp);
  if (norix::journal_on()) sr_internal::journal_result("save", new_file, rc, data, sp);
  return rc;
}
