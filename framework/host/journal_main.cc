// journal_main.cc - norix_journal: prints the records of a server's journal.
//
//   norix_journal FILE [--from MS] [--to MS] [--last SECONDS] [--location L]
//                 [--kind K] [--source S] [--limit N] [--json]
//
// Times are milliseconds since the epoch; --last takes the records of the
// last SECONDS. Text lines by default, JSON lines with --json (the form the
// test kit's replay reads). Exits 0, 1 when the file does not read, 2 for
// bad arguments.

#include "framework/host/journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "framework/objects/journal.h"

namespace {

constexpr const char* USAGE =
    "usage: norix_journal FILE [--from MS] [--to MS] [--last SECONDS] [--location L]\n"
    "                     [--kind K] [--source S] [--limit N] [--json]\n";

bool to_number(const char* text, long long* out) {
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    fputs(USAGE, stderr);
    return 2;
  }
  norix::JournalQuery q;
  bool json = false;
  for (int i = 2; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "--json") {
      json = true;
      continue;
    }
    if (i + 1 >= argc) {
      fputs(USAGE, stderr);
      return 2;
    }
    const char* value = argv[++i];
    long long n = 0;
    bool ok = true;
    if (opt == "--from") {
      ok = to_number(value, &q.from_ms);
    } else if (opt == "--to") {
      ok = to_number(value, &q.to_ms);
    } else if (opt == "--last") {
      ok = to_number(value, &n) && n >= 0;
      q.from_ms = static_cast<long long>(time(nullptr)) * 1000 - n * 1000;
    } else if (opt == "--limit") {
      ok = to_number(value, &n) && n >= 0;
      q.limit = static_cast<size_t>(n);
    } else if (opt == "--location") {
      q.location = value;
    } else if (opt == "--kind") {
      q.kind = value;
      ok = norix::journal_kind_of(value) != 0;
    } else if (opt == "--source") {
      q.source = value;
    } else {
      ok = false;
    }
    if (!ok) {
      fprintf(stderr, "norix_journal: bad %s %s\n%s", opt.c_str(), value, USAGE);
      return 2;
    }
  }
  std::vector<norix::JournalRow> rows;
  std::string why;
  if (norix::journal_query(argv[1], q, &rows, &why) != 0) {
    fprintf(stderr, "norix_journal: %s\n", why.c_str());
    return 1;
  }
  for (const norix::JournalRow& r : rows) {
    std::string line = json ? norix::journal_json(r) : norix::journal_text(r);
    puts(line.c_str());
  }
  return 0;
}
