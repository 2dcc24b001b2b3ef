// journal.h - the server's journal: the records queued by the threads that
// act (framework/objects/journal.h) kept in a database file, and read back
// by time range, location, kind and source.
//
// One writer thread per process drains the queue and commits what it took
// in one transaction per batch: every BATCH_MS at the latest, so a process
// that is killed loses the records of the last batch period at most (and
// those still queued). The database is in write-ahead mode; readers in
// other processes never stop the writer. The oldest records go first once
// the journal outgrows its age or size bound.
//
// A file that is not a journal (corrupt, or another program's database) is
// reported, renamed to FILE.bad-SECONDS beside it and replaced by a new one.

#ifndef FRAMEWORK_HOST_JOURNAL_H
#define FRAMEWORK_HOST_JOURNAL_H

#include <limits.h>

#include <string>
#include <vector>

class EqCall;
class EqAdr;
class EqData;

namespace norix {

struct JournalOptions {
  std::string file;
  long long keep_ms = 0;     // records older than this go (0: no age bound)
  long long keep_bytes = 0;  // the oldest go beyond this size (0: no size bound)
  int batch_ms = 100;        // the longest a record waits to be committed
};

// Opens (or makes) the journal and starts the writer: 0, or -1 with the
// reason in *why. Only one journal runs at a time.
int journal_start(const JournalOptions& options, std::string* why);
// Commits what is queued, stops the writer and closes the file. Harmless
// when no journal runs.
void journal_stop();

// The file of the journal that runs; "" when none does.
std::string journal_file();

// The answer to a reader of the web panel's /api/journal: the records a
// query of the running journal finds, as JSON lines, at most JOURNAL_HTTP_LIMIT of
// them: the first `limit` or the last `last` (not both). 200, 404 when no
// journal runs, 400 when a parameter does not read.
constexpr size_t JOURNAL_HTTP_LIMIT = 10000;
int journal_http(const std::string& from, const std::string& to, const std::string& location,
                 const std::string& kind, const std::string& source, const std::string& limit,
                 const std::string& last, std::string* body);

struct JournalStats {
  unsigned long long written = 0;  // records committed
  unsigned long long batches = 0;
  unsigned long long failed = 0;  // records of batches the database refused
  double last_batch_ms = 0;       // time to commit the last batch
  double max_batch_ms = 0;
  std::string set_aside;  // the file a bad journal was renamed to, if any
};
JournalStats journal_stats();

// For tests: called by the writer before it commits each batch (null for
// none). A hook that blocks stalls the writer as a full disk would.
void set_journal_batch_hook(void (*hook)());

struct JournalQuery {
  long long from_ms = LLONG_MIN;  // inclusive
  long long to_ms = LLONG_MAX;    // inclusive
  std::string location;           // "" any; else that location
  std::string kind;               // "" any; else a kind name
  std::string source;             // "" any; else sources beginning with it
  long long after_id = 0;         // only records after this one
  size_t limit = 0;               // 0: all
  bool last = false;              // with a limit: the last ones, still oldest first
};

struct JournalRow {
  long long id = 0;
  long long time_ms = 0;
  std::string kind, location, source, subject, old_value, new_value, detail;
};

// Starts the journal a server's configuration names: `name` a plain file
// name, taken in the folder of config_file; not a path, not a link. days
// and megabytes bound it (0: no bound). 0, or -1 with the reason.
int journal_start_named(const std::string& config_file, const std::string& name, int days,
                        int megabytes, std::string* why);

// Who is on the other side of a client's socket, for the journal:
// "unix uid=U pid=P" or "tcp ADDRESS:PORT", then " authenticated" when it
// presented the server's secret.
std::string journal_peer(int fd, bool authenticated);

// A client's write of a property: the set, journalled (while the journal
// is on) with the value before it and the value written, by the thread's
// caller. Writes to EVENT are journalled as the events they post.
void journal_set(::EqCall* call, ::EqAdr* address, ::EqData* value, ::EqData* result);

// A record of the server's life (start, stop, save) with what came of it.
void journal_server(const std::string& what, const std::string& detail);

// Reads records of a journal file, oldest first: 0, or -1 with the reason.
// Opens the file read-only; a missing file is an error, not a new journal.
int journal_query(const std::string& file, const JournalQuery& q, std::vector<JournalRow>* out,
                  std::string* why);

// One record as a line: JSON (the fields by name) or text for people.
std::string journal_json(const JournalRow& r);
std::string journal_text(const JournalRow& r);
// Reads a line that journal_json made: 0, or -1 if it is not one.
int journal_parse_json(const std::string& line, JournalRow* r);

}  // namespace norix

#endif  // FRAMEWORK_HOST_JOURNAL_H
