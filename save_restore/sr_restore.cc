// sr_restore.cc - restoring the values a settings file lists, and comparing
// them with the live values.
//
// Nothing survives a call: every item list and buffer belongs to the call
// that made it, so any number of threads may restore and compare at once.
// compare_all's stop flag is read atomically; another thread may set it.

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "framework/objects/journal.h"
#include "save_restore/internal.h"
#include "save_restore/sr_func.h"

namespace {

using sr_internal::client_call;
using sr_internal::client_get;
using sr_internal::copy_cut;
using sr_internal::ItemList;
using sr_internal::kTextSize;
using sr_internal::load;
using sr_internal::read_fill;
using sr_internal::state_text;

constexpr size_t kBigTextSize = 4000;    // a value text read for comparison
constexpr size_t kNameReportMax = 127;   // compare_all's report of an address
constexpr size_t kAnswerReportMax = 80;  // compare_all's report of an answer
constexpr long long kNsPerSecond = 1000LL * 1000 * 1000;
constexpr long long kPauseSliceNs = 50LL * 1000 * 1000;  // how soon a stop ends a pause

void tabs_to_blanks(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\t') *text = ' ';
  }
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

// restore_all and compare_all, less their journal record.
int restore_items(char* file, EqData* data, SrOption op, int stop, FSMstate* sp) {
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
      answer.error(ERR_WRONG_TYPE, norix::error_text(ERR_WRONG_TYPE));
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

int compare_items(char* file, EqData* data, SrOption op, int* stop) {
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

}  // namespace

int restore_all(char* file, EqData* data, SrOption op, int stop, FSMstate* sp) {
  int rc = restore_items(file, data, op, stop, sp);
  if (norix::journal_on()) sr_internal::journal_result("restore", file, rc, data, sp);
  return rc;
}

int compare_all(char* file, EqData* data, SrOption op, int* stop) {
  int rc = compare_items(file, data, op, stop);
  if (norix::journal_on()) sr_internal::journal_result("compare", file, rc, data, nullptr);
  return rc;
}
