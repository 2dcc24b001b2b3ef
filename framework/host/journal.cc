// journal.cc - the journal's writer thread, its database file, and reading
// it back.
//
// mux guards the writer's state shared with other threads: stopping, the
// statistics and the batch hook. The database handle and its statements
// belong to the writer thread while it runs, and to journal_start and
// journal_stop around it. No other lock is taken while mux is held.

#include "framework/host/journal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/base/json.h"
#include "framework/base/log.h"
#include "framework/calls/eq_call.h"
#include "framework/objects/journal.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"

namespace norix {

namespace {

// Written in the meta table of every journal; a database without it is
// another program's and is not written to.
constexpr const char* FORMAT = "norix journal 1";
constexpr long long RETENTION_EVERY_MS = 1000;  // how often the bounds are applied
constexpr int BUSY_MS = 200;                    // a reader's lock holds up a commit at most this
constexpr const char* SCHEMA =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT);"
    "CREATE TABLE record(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, kind TEXT NOT NULL,"
    " location TEXT NOT NULL, source TEXT NOT NULL, subject TEXT NOT NULL, old TEXT NOT NULL,"
    " new TEXT NOT NULL, detail TEXT NOT NULL);"
    "CREATE INDEX record_time ON record(time_ms);"
    "CREATE INDEX record_location ON record(location, time_ms);"
    "CREATE INDEX record_kind ON record(kind, time_ms);";

std::mutex mux;
std::condition_variable wake;
bool running = false;
bool stopping = false;
JournalStats stats;
void (*batch_hook)() = nullptr;
std::thread writer;

// The writer's own (see the file's head).
JournalOptions opts;
sqlite3* db = nullptr;
sqlite3_stmt* insert = nullptr;
unsigned long long dropped_seen = 0;

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string db_error(sqlite3* d) {
  return d != nullptr ? sqlite3_errmsg(d) : "out of memory";
}

void close_db() {
  sqlite3_finalize(insert);
  insert = nullptr;
  sqlite3_close(db);
  db = nullptr;
}

// The format text of the open database; "" when it has no tables at all (a
// new file), "?" when it is not ours or does not read.
std::string format_of(sqlite3* d) {
  sqlite3_stmt* st = nullptr;
  std::string found = "?";
  if (sqlite3_prepare_v2(d, "SELECT count(*) FROM sqlite_master", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 0) {
    found = "";
  }
  sqlite3_finalize(st);
  st = nullptr;
  if (!found.empty() &&
      sqlite3_prepare_v2(d, "SELECT value FROM meta WHERE key = 'format'", -1, &st, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(st, 0);
    if (t != nullptr) found = reinterpret_cast<const char*>(t);
  }
  sqlite3_finalize(st);
  return found;
}

// Renames the file (and its write-ahead files) out of the way.
void set_aside(const std::string& file, const std::string& reason) {
  std::string to = file + ".bad-" + std::to_string(now_ms() / 1000);
  int rc = rename(file.c_str(), to.c_str());
  for (const char* extra : {"-wal", "-shm"})
    rename((file + extra).c_str(), (to + extra).c_str());
  log_message(LOG_ERROR, "journal " + file + " " + reason +
                             (rc == 0 ? "; set aside as " + to : "; it could not be set aside"));
  std::lock_guard<std::mutex> lock(mux);
  stats.set_aside = to;
}

// Opens file as the journal into db: 0, or -1 with the reason. try_again
// is false on the second attempt, after a bad file was set aside.
int open_db(const std::string& file, bool try_again, std::string* why) {
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::string format = rc == SQLITE_OK ? format_of(db) : "?";
  bool usable = rc == SQLITE_OK && (format.empty() || format == FORMAT);
  if (usable) {
    sqlite3_busy_timeout(db, BUSY_MS);
    char* err = nullptr;
    std::string setup =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=4194304;";
    if (format.empty()) {
      setup += std::string("BEGIN;") + SCHEMA + "INSERT INTO meta VALUES('format','" + FORMAT +
               "'); COMMIT;";
    }
    rc = sqlite3_exec(db, setup.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) *why = err != nullptr ? err : db_error(db);
    sqlite3_free(err);
    usable = rc == SQLITE_OK;
  }
  if (usable) {
    rc = sqlite3_prepare_v2(db,
                            "INSERT INTO record(time_ms,kind,location,source,subject,old,new,"
                            "detail) VALUES(?,?,?,?,?,?,?,?)",
                            -1, &insert, nullptr);
    if (rc == SQLITE_OK) return 0;
    *why = db_error(db);
  }
  bool is_file_fault = rc == SQLITE_OK || rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
  if (why->empty()) *why = db_error(db);
  close_db();
  if (!try_again || !is_file_fault) {
    *why = file + ": " + *why;
    return -1;
  }
  set_aside(file, format == "?" ? "is not a journal (" + *why + ")" : "has another format");
  why->clear();
  return open_db(file, false, why);
}

void bind_text(int i, const char* text) {
  sqlite3_bind_text(insert, i, text, -1, SQLITE_STATIC);
}

// Commits the records in one transaction; false if the database refused it.
bool commit(const std::vector<journal_record>& batch) {
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  int rc = SQLITE_DONE;
  for (const journal_record& r : batch) {
    const char* kind = journal_kind_name(r.kind);
    sqlite3_bind_int64(insert, 1, r.time_ms);
    bind_text(2, kind != nullptr ? kind : "?");
    bind_text(3, r.location);
    bind_text(4, r.source);
    bind_text(5, r.subject);
    bind_text(6, r.old_value);
    bind_text(7, r.new_value);
    bind_text(8, r.detail);
    rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) break;
  }
  if (rc == SQLITE_DONE && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
    return true;
  }
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

long long single_value(const char* sql) {
  sqlite3_stmt* st = nullptr;
  long long v = 0;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

// The oldest records go: those past the age bound, then a tenth of the
// rest at a time while the pages in use exceed the size bound.
void apply_bounds() {
  if (opts.keep_ms > 0) {
    std::string sql =
        "DELETE FROM record WHERE time_ms < " + std::to_string(now_ms() - opts.keep_ms);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  for (int round = 0; opts.keep_bytes > 0 && round < 10; ++round) {
    long long used = (single_value("PRAGMA page_count") - single_value("PRAGMA freelist_count")) *
                     single_value("PRAGMA page_size");
    if (used <= opts.keep_bytes) break;
    long long first = single_value("SELECT min(id) FROM record");
    long long last = single_value("SELECT max(id) FROM record");
    if (last <= first) break;
    std::string sql =
        "DELETE FROM record WHERE id <= " + std::to_string(first + (last - first) / 10);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
}

// Takes what is queued and commits it; a file found corrupt is set aside
// and a new one takes the batch.
void write_batch(std::vector<journal_record>* batch) {
  batch->clear();
  journal_record r;
  // At most a queue's worth: pushers that keep up with the writer must not
  // keep a batch from ending.
  while (batch->size() < JOURNAL_QUEUE && journal_pop(&r))
    batch->push_back(r);
  unsigned long long dropped = journal_dropped();
  if (dropped != dropped_seen) {
    dropped_seen = dropped;
    journal_record d = journal_make(JOURNAL_DROPPED);
    journal_put(d.detail, std::to_string(dropped));
    batch->push_back(d);
  }
  void (*hook)() = nullptr;
  {
    std::lock_guard<std::mutex> lock(mux);
    hook = batch_hook;
  }
  if (hook != nullptr) hook();
  if (batch->empty()) return;
  auto t0 = std::chrono::steady_clock::now();
  bool ok = db != nullptr && commit(*batch);
  if (!ok && db != nullptr) {
    int code = sqlite3_errcode(db);
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
      close_db();
      set_aside(opts.file, "is corrupt");
      std::string why;
      if (open_db(opts.file, false, &why) != 0) log_message(LOG_ERROR, "journal: " + why);
      ok = db != nullptr && commit(*batch);
    }
  }
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::lock_guard<std::mutex> lock(mux);
  ++stats.batches;
  (ok ? stats.written : stats.failed) += batch->size();
  stats.last_batch_ms = ms;
  if (ms > stats.max_batch_ms) stats.max_batch_ms = ms;
}

void writer_loop() {
  std::vector<journal_record> batch;
  batch.reserve(JOURNAL_QUEUE);
  long long bounds_at = 0;
  for (;;) {
    bool stop;
    {
      std::unique_lock<std::mutex> lock(mux);
      // A full batch is followed at once by the next one.
      if (batch.size() < JOURNAL_QUEUE)
        wake.wait_for(lock, std::chrono::milliseconds(opts.batch_ms), [] { return stopping; });
      stop = stopping;
    }
    write_batch(&batch);
    if (db != nullptr && now_ms() - bounds_at >= RETENTION_EVERY_MS) {
      bounds_at = now_ms();
      apply_bounds();
    }
    if (stop && batch.size() < JOURNAL_QUEUE) break;
  }
}

}  // namespace

int journal_start(const JournalOptions& options, std::string* why) {
  {
    std::lock_guard<std::mutex> lock(mux);
    if (running) {
      *why = "a journal is already open";
      return -1;
    }
    running = true;
    stopping = false;
    stats = JournalStats();
  }
  opts = options;
  if (opts.batch_ms <= 0) opts.batch_ms = 100;
  why->clear();
  if (open_db(opts.file, true, why) != 0) {
    std::lock_guard<std::mutex> lock(mux);
    running = false;
    return -1;
  }
  dropped_seen = journal_dropped();
  journal_enable(true);
  writer = std::thread(writer_loop);
  return 0;
}

// The queue is switched off first: what is queued then is the last batch.
void journal_stop() {
  {
    std::lock_guard<std::mutex> lock(mux);
    if (!running) return;
    stopping = true;
  }
  journal_enable(false);
  wake.notify_all();
  writer.join();
  close_db();
  std::lock_guard<std::mutex> lock(mux);
  running = false;
}

std::string journal_file() {
  std::lock_guard<std::mutex> lock(mux);
  return running ? opts.file : std::string();
}

int journal_http(const std::string& from, const std::string& to, const std::string& location,
                 const std::string& kind, const std::string& source, const std::string& limit,
                 const std::string& last, std::string* body) {
  std::string file = journal_file();
  if (file.empty()) return 404;
  JournalQuery q;
  auto number = [](const std::string& text, long long* out) {
    if (text.empty()) return true;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
  };
  long long n = static_cast<long long>(JOURNAL_HTTP_LIMIT);
  q.last = !last.empty();
  if (!number(from, &q.from_ms) || !number(to, &q.to_ms) || !number(limit, &n) ||
      !number(last, &n) || n <= 0 || (q.last && !limit.empty()) ||
      (!kind.empty() && journal_kind_of(kind) == 0)) {
    return 400;
  }
  q.limit = std::min(static_cast<size_t>(n), JOURNAL_HTTP_LIMIT);
  q.location = location;
  q.kind = kind;
  q.source = source;
  std::vector<JournalRow> rows;
  std::string why;
  if (journal_query(file, q, &rows, &why) != 0) {
    *body = why + "\n";
    return 500;
  }
  for (const JournalRow& r : rows)
    *body += journal_json(r) + "\n";
  return 200;
}

JournalStats journal_stats() {
  std::lock_guard<std::mutex> lock(mux);
  return stats;
}

void set_journal_batch_hook(void (*hook)()) {
  std::lock_guard<std::mutex> lock(mux);
  batch_hook = hook;
}

int journal_start_named(const std::string& config_file, const std::string& name, int days,
                        int megabytes, std::string* why) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    *why = "journal " + name + ": not a file name in the configuration's folder";
    return -1;
  }
  size_t slash = config_file.rfind('/');
  JournalOptions o;
  o.file = (slash == std::string::npos ? std::string() : config_file.substr(0, slash + 1)) + name;
  struct stat st;
  if (lstat(o.file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *why = "journal " + o.file + ": not a plain file";
    return -1;
  }
  o.keep_ms = static_cast<long long>(days) * 86400000LL;
  o.keep_bytes = static_cast<long long>(megabytes) * 1048576LL;
  return journal_start(o, why);
}

std::string journal_peer(int fd, bool authenticated) {
  sockaddr_storage a;
  socklen_t len = sizeof a;
  std::string who = "client";
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.ss_family == AF_UNIX) {
    ucred cred;
    socklen_t n = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &n) == 0) {
      who = "unix uid=" + std::to_string(cred.uid) + " pid=" + std::to_string(cred.pid);
    }
  } else {
    len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.ss_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&a);
      char host[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      who = "tcp " + std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
  }
  return authenticated ? who + " authenticated" : who;
}

void journal_set(EqCall* call, EqAdr* address, EqData* value, EqData* result) {
  bool journal = journal_on() && strcmp(address->property(), "EVENT") != 0;
  EqData before;
  if (journal) {
    EqData request;
    call->get(address, &request, &before);
  }
  call->set(address, value, result);
  if (!journal || result->error() != 0) return;
  journal_record r = journal_make(JOURNAL_WRITE);
  journal_put(r.location, address->location());
  journal_put(r.source, journal_caller());
  journal_put(r.subject, address->property());
  journal_put(r.old_value, before.error() == 0 ? before.text_value() : std::string());
  journal_put(r.new_value, value->text_value());
  journal_push(r);
}

void journal_server(const std::string& what, const std::string& detail) {
  if (!journal_on()) return;
  journal_record r = journal_make(JOURNAL_SERVER);
  journal_put(r.subject, what);
  journal_put(r.detail, detail);
  journal_push(r);
}

int journal_query(const std::string& file, const JournalQuery& q, std::vector<JournalRow>* out,
                  std::string* why) {
  sqlite3* d = nullptr;
  if (sqlite3_open_v2(file.c_str(), &d, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *why = file + ": " + db_error(d);
    sqlite3_close(d);
    return -1;
  }
  sqlite3_busy_timeout(d, BUSY_MS);
  if (format_of(d) != FORMAT) {
    *why = file + ": not a journal";
    sqlite3_close(d);
    return -1;
  }
  // Bound by number: ?1..?2 the time range, then the optional filters.
  std::string sql =
      "SELECT id,time_ms,kind,location,source,subject,old,new,detail FROM record"
      " WHERE time_ms BETWEEN ?1 AND ?2 AND id > ?3";
  if (!q.location.empty()) sql += " AND location = ?4";
  if (!q.kind.empty()) sql += " AND kind = ?5";
  if (!q.source.empty()) sql += " AND substr(source, 1, length(?6)) = ?6";
  bool backwards = q.last && q.limit > 0;  // the newest first, turned round below
  sql += backwards ? " ORDER BY time_ms DESC, id DESC" : " ORDER BY time_ms, id";
  if (q.limit > 0) sql += " LIMIT " + std::to_string(q.limit);
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(d, sql.c_str(), -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(st, 1, q.from_ms);
    sqlite3_bind_int64(st, 2, q.to_ms);
    sqlite3_bind_int64(st, 3, q.after_id);
    sqlite3_bind_text(st, 4, q.location.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 5, q.kind.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 6, q.source.c_str(), -1, SQLITE_STATIC);
    auto text = [st](int i) {
      const unsigned char* t = sqlite3_column_text(st, i);
      return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    size_t first = out->size();
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      JournalRow r;
      r.id = sqlite3_column_int64(st, 0);
      r.time_ms = sqlite3_column_int64(st, 1);
      r.kind = text(2);
      r.location = text(3);
      r.source = text(4);
      r.subject = text(5);
      r.old_value = text(6);
      r.new_value = text(7);
      r.detail = text(8);
      out->push_back(std::move(r));
    }
    if (backwards) std::reverse(out->begin() + static_cast<std::ptrdiff_t>(first), out->end());
  }
  if (rc != SQLITE_DONE) *why = file + ": " + db_error(d);
  sqlite3_finalize(st);
  sqlite3_close(d);
  return rc == SQLITE_DONE ? 0 : -1;
}

std::string journal_json(const JournalRow& r) {
  return "{\"id\":" + std::to_string(r.id) + ",\"time_ms\":" + std::to_string(r.time_ms) +
         ",\"kind\":" + json_quote(r.kind) + ",\"location\":" + json_quote(r.location) +
         ",\"source\":" + json_quote(r.source) + ",\"subject\":" + json_quote(r.subject) +
         ",\"old\":" + json_quote(r.old_value) + ",\"new\":" + json_quote(r.new_value) +
         ",\"detail\":" + json_quote(r.detail) + "}";
}

std::string journal_text(const JournalRow& r) {
  time_t secs = static_cast<time_t>(r.time_ms / 1000);
  tm t;
  gmtime_r(&secs, &t);
  char when[40];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &t);
  char ms[8];
  snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(r.time_ms % 1000));
  std::string what;
  if (r.kind == "transition") {
    what = r.subject + ": " + r.old_value + " -> " + r.new_value + " on " + r.detail;
  } else if (r.kind == "event") {
    what = r.subject + " to " + r.detail;
  } else if (r.kind == "write" || r.kind == "fault") {
    what = r.subject + ": \"" + r.old_value + "\" -> \"" + r.new_value + "\"";
  } else if (r.kind == "dropped") {
    what = r.detail + " record(s) dropped so far";
  } else {
    what = r.subject + (r.detail.empty() ? "" : " " + r.detail);
  }
  if (!r.source.empty()) what += " [" + r.source + "]";
  return std::string(when) + ms + "  " + r.kind + "  " + r.location + "  " + what;
}

namespace {

// A JSON string at *p (its opening quote), unescaped into *out; only the
// escapes json_quote writes, and \uXXXX below 0x80.
bool read_string(const char** p, std::string* out) {
  const char* s = *p;
  if (*s != '"') return false;
  for (++s; *s != '"'; ++s) {
    if (*s == '\0') return false;
    if (*s != '\\') {
      out->push_back(*s);
      continue;
    }
    ++s;
    if (*s == '"' || *s == '\\' || *s == '/') {
      out->push_back(*s);
    } else if (*s == 'u' && strspn(s + 1, "0123456789abcdefABCDEF") >= 4) {
      unsigned v = static_cast<unsigned>(strtoul(std::string(s + 1, 4).c_str(), nullptr, 16));
      if (v >= 0x80) return false;
      out->push_back(static_cast<char>(v));
      s += 4;
    } else {
      const char* from = "nrtbf";
      const char* to = "\n\r\t\b\f";
      const char* at = *s != '\0' ? strchr(from, *s) : nullptr;
      if (at == nullptr) return false;
      out->push_back(to[at - from]);
    }
  }
  *p = s + 1;
  return true;
}

}  // namespace

int journal_parse_json(const std::string& line, JournalRow* r) {
  const char* p = line.c_str();
  while (*p == ' ')
    ++p;
  if (*p++ != '{') return -1;
  for (;;) {
    std::string key;
    if (!read_string(&p, &key) || *p++ != ':') return -1;
    if (*p == '"') {
      std::string value;
      if (!read_string(&p, &value)) return -1;
      std::string* field = key == "kind"       ? &r->kind
                           : key == "location" ? &r->location
                           : key == "source"   ? &r->source
                           : key == "subject"  ? &r->subject
                           : key == "old"      ? &r->old_value
                           : key == "new"      ? &r->new_value
                           : key == "detail"   ? &r->detail
                                               : nullptr;
      if (field != nullptr) *field = value;
    } else {
      char* end = nullptr;
      long long v = strtoll(p, &end, 10);
      if (end == p) return -1;
      p = end;
      if (key == "id") r->id = v;
      if (key == "time_ms") r->time_ms = v;
    }
    if (*p == '}') return 0;
    if (*p++ != ',') return -1;
  }
}

}  // namespace norix
