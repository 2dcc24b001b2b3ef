// settings_bench.cc - reading and saving a settings file of 10000 records,
// each beside a plain read and write of the same bytes.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/server_fixture.h"
#include "save_restore/sr_func.h"

namespace fsmbench {
namespace {

constexpr int RECORDS = 10000;

// A folder for the settings files and a file of RECORDS records naming
// DEV's properties in turn; "" when it could not be made.
const std::string& settings_file() {
  static std::string* path = [] {
    auto* p = new std::string;
    char dir[] = "/tmp/fsm_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) return p;
    std::string text = "//Save_&_Restore//\n fsm_bench settings ;\n ;\n";
    for (int i = 0; i < RECORDS; ++i) {
      std::string adr = device_address(i % 100);
      for (char& c : adr)
        if (c == '/') c = ' ';
      text += adr + "\t1\t" + std::to_string(i % 100) + "\t;\n";
    }
    std::string file = std::string(dir) + "/settings.sr";
    FILE* fp = fopen(file.c_str(), "w");
    if (fp == nullptr) return p;
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = fclose(fp) == 0 && ok;
    if (ok) *p = file;
    return p;
  }();
  return *path;
}

std::string read_all(const std::string& path) {
  std::string text;
  FILE* fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return text;
  char buf[65536];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, fp)) > 0)
    text.append(buf, got);
  fclose(fp);
  return text;
}

// Writes text beside path and renames it there, as the save does; with
// sync, the file is flushed to the disk first and the folder after.
bool write_all(const std::string& path, const std::string& text, bool sync) {
  std::string tmp = path + ".tmp";
  FILE* fp = fopen(tmp.c_str(), "w");
  if (fp == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size() && fflush(fp) == 0;
  if (sync) ok = ok && fsync(fileno(fp)) == 0;
  ok = fclose(fp) == 0 && ok;
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (ok && sync) {
    int dir = open(path.substr(0, path.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY);
    ok = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
  }
  return ok;
}

// The best of the runs of f, in nanoseconds.
template <typename F>
int64_t best_of(int runs, F f) {
  int64_t best = -1;
  for (int i = 0; i < runs; ++i) {
    int64_t t0 = wall_ns();
    if (!f()) return -1;
    int64_t spent = wall_ns() - t0;
    if (best < 0 || spent < best) best = spent;
  }
  return best;
}

// fill_list and sr_save over RECORDS records, each beside a plain read and
// write of the same bytes; throughput ratios (plain time / library time).
void settings_case(benchmark::State& state) {
  const std::string& err = start_server();
  const std::string& file = settings_file();
  if (!err.empty() || file.empty()) {
    state.SkipWithError(err.empty() ? "no settings file" : err.c_str());
    return;
  }
  std::string saved = file.substr(0, file.rfind('/')) + "/saved.sr";
  std::string plain = file.substr(0, file.rfind('/')) + "/plain.sr";
  EqData data;
  char* src = const_cast<char*>(file.c_str());
  char* dest = const_cast<char*>(saved.c_str());
  if (sr_save(src, dest, &data, nullptr) != 0) {
    state.SkipWithError("sr_save failed");
    return;
  }
  std::string out = read_all(saved);
  size_t in_bytes = read_all(file).size();
  constexpr int RUNS = 5;
  std::vector<EqAdr> adrs(RECORDS);
  for (int i = 0; i < RECORDS; ++i)
    adrs[static_cast<size_t>(i)].adr(device_address(i % 100));
  int64_t fill = 0, read = 0, save = 0, write_sync = 0, write_nosync = 0, calls = 0;
  size_t records = 0;
  for (auto _ : state) {
    fill = best_of(RUNS, [&] {
      std::vector<sr_data*> list;
      std::vector<sr_data*>* lp = &list;
      int rc = fill_list(src, &data, &lp);
      records = list.size();
      clear_list(&list);
      return rc == 0;
    });
    read = best_of(RUNS, [&] { return read_all(file).size() == in_bytes; });
    save = best_of(RUNS, [&] { return sr_save(src, dest, &data, nullptr) == 0; });
    write_sync = best_of(
        RUNS, [&] { return read_all(file).size() == in_bytes && write_all(plain, out, true); });
    write_nosync = best_of(
        RUNS, [&] { return read_all(file).size() == in_bytes && write_all(plain, out, false); });
    // The client calls alone that sr_save makes, one per record.
    calls = best_of(RUNS, [&] {
      EqData request, answer;
      for (EqAdr& adr : adrs) {
        request.init();
        pthread_mutex_lock(&norix_mux);
        norix_call->get(&adr, &request, &answer);
        pthread_mutex_unlock(&norix_mux);
        if (answer.error() != 0) return false;
      }
      return true;
    });
  }
  if (fill < 0 || read < 0 || save < 0 || write_sync < 0 || write_nosync < 0 || calls < 0 ||
      records != RECORDS) {
    state.SkipWithError("a settings file operation failed");
    return;
  }
  auto mb_s = [](size_t bytes, int64_t ns) { return static_cast<double>(bytes) * 1e3 / ns; };
  state.counters["fill_list_MB/s"] = mb_s(in_bytes, fill);
  state.counters["read_MB/s"] = mb_s(in_bytes, read);
  state.counters["sr_save_MB/s"] = mb_s(out.size(), save);
  state.counters["read_write_sync_MB/s"] = mb_s(out.size(), write_sync);
  state.counters["read_write_MB/s"] = mb_s(out.size(), write_nosync);
  record("settings/fill_list#us", static_cast<double>(fill) / 1e3);
  record("settings/read#us", static_cast<double>(read) / 1e3);
  record("settings/sr_save#us", static_cast<double>(save) / 1e3);
  record("settings/read_write_sync#us", static_cast<double>(write_sync) / 1e3);
  record("settings/read_write#us", static_cast<double>(write_nosync) / 1e3);
  record("settings/client_calls#us", static_cast<double>(calls) / 1e3);
  state.counters["client_calls_us"] = static_cast<double>(calls) / 1e3;
  record("settings/fill_list#ratio", static_cast<double>(read) / static_cast<double>(fill));
  record("settings/sr_save#ratio", static_cast<double>(write_sync) / static_cast<double>(save));
}

}  // namespace

void register_settings_cases() {
  benchmark::RegisterBenchmark("settings/10000_records", settings_case)->Iterations(1);
}

}  // namespace fsmbench
