// sr_journal.cc - the result of a settings save, restore or compare, as a
// record for the server's journal (framework/objects/journal.h).

#include <stdio.h>

#include <string>

#include "framework/objects/journal.h"
#include "save_restore/internal.h"

namespace sr_internal {

void journal_result(const char* what, const char* file, int rc, const EqData* data, FSMstate* sp) {
  norix::journal_record r = norix::journal_make(norix::JOURNAL_SETTINGS);
  if (sp != nullptr) {
    const FSMstate* rt = sp->get_root() != nullptr ? sp->get_root() : sp;
    norix::journal_put(r.location, rt->get_name());
  }
  norix::journal_put(r.source, norix::journal_caller());
  norix::journal_put(r.subject, what);
  // The code, then why: the answer left in data, or the error a failed
  // restore gave the state.
  std::string why;
  if (data != nullptr && data->error() != 0) {
    why = data->text_value();
  } else if (sp != nullptr && rc != 0) {
    char text[sizeof r.new_value];
    sp->copy_error(text, sizeof text);
    why = text;
  }
  char code[16];
  snprintf(code, sizeof code, "%d", rc);
  norix::journal_put(r.new_value, why.empty() ? std::string(code) : code + (": " + why));
  norix::journal_put(r.detail, file != nullptr ? file : "");
  norix::journal_push(r);
}

}  // namespace sr_internal
