// metrics.cc - the registry of metric sources, the runtime's own counts,
// and the exposition through the text serializer of prometheus-cpp.
//
// sources_mux guards the source list and serialises scrapes; it is taken
// last but for what a source takes itself (its owner's leaf locks). The
// counts are relaxed atomics: nothing orders them against each other.

#include "framework/host/metrics.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace norix {

namespace {

// Result codes counted one by one; others (none the runtime answers with
// today) go to the last slot.
constexpr int CODE_SLOTS = 128;

struct runtime_counts {
  std::atomic<long> connections{0};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> answers[CODE_SLOTS + 1] = {};
  std::atomic<uint64_t> saves{0};
  std::atomic<uint64_t> failed_saves{0};
};

runtime_counts& counts() {
  static auto* c = new runtime_counts;  // kept: client threads may outlive statics
  return *c;
}

struct source_list {
  std::mutex mux;
  int next_id = 0;
  std::vector<std::pair<int, MetricsSource>> sources;
};

source_list& sources() {
  static auto* s = new source_list;
  return *s;
}

void bump(std::atomic<uint64_t>& n) {
  n.fetch_add(1, std::memory_order_relaxed);
}

void runtime_samples(MetricsOut* out) {
  runtime_counts& c = counts();
  auto load = [](const std::atomic<uint64_t>& n) {
    return static_cast<double>(n.load(std::memory_order_relaxed));
  };
  out->gauge("norix_client_connections", "Client connections being served.",
             static_cast<double>(c.connections.load(std::memory_order_relaxed)));
  out->counter("norix_client_connections_accepted_total", "Client connections accepted.",
               load(c.accepted));
  out->counter("norix_client_connections_refused_total",
               "Client connections refused at the limit of connections.", load(c.refused));
  for (int code = 0; code <= CODE_SLOTS; ++code) {
    double n = load(c.answers[code]);
    if (n == 0 && code != 0) continue;
    out->counter("norix_requests_total", "Client requests answered, by result code (0 success).", n,
                 {{"code", code == CODE_SLOTS ? "other" : std::to_string(code)}});
  }
  out->counter("norix_saves_total", "Saves of the configuration.", load(c.saves));
  out->counter("norix_save_failures_total", "Saves of the configuration that failed.",
               load(c.failed_saves));
}

}  // namespace

struct MetricsOut::families {
  std::vector<prometheus::MetricFamily> list;
  std::map<std::string, size_t> index;  // name -> position in list

  prometheus::ClientMetric& sample(const std::string& name, const std::string& help,
                                   prometheus::MetricType type, const Labels& labels) {
    auto it = index.find(name);
    if (it == index.end()) {
      it = index.emplace(name, list.size()).first;
      list.push_back(prometheus::MetricFamily{name, help, type, {}});
    }
    prometheus::MetricFamily& f = list[it->second];
    f.metric.emplace_back();
    for (const auto& l : labels)
      f.metric.back().label.push_back(prometheus::ClientMetric::Label{l.first, l.second});
    return f.metric.back();
  }
};

MetricsOut::MetricsOut() : families_(new families) {}
MetricsOut::~MetricsOut() = default;

void MetricsOut::counter(const std::string& name, const std::string& help, double value,
                         const Labels& labels) {
  families_->sample(name, help, prometheus::MetricType::Counter, labels).counter.value = value;
}

void MetricsOut::gauge(const std::string& name, const std::string& help, double value,
                       const Labels& labels) {
  families_->sample(name, help, prometheus::MetricType::Gauge, labels).gauge.value = value;
}

void MetricsOut::summary(const std::string& name, const std::string& help, double sum,
                         uint64_t count, const Labels& labels) {
  prometheus::ClientMetric& m =
      families_->sample(name, help, prometheus::MetricType::Summary, labels);
  m.summary.sample_sum = sum;
  m.summary.sample_count = count;
}

std::string MetricsOut::text() const {
  return prometheus::TextSerializer().Serialize(families_->list);
}

int add_metrics_source(MetricsSource source) {
  source_list& s = sources();
  std::lock_guard<std::mutex> lock(s.mux);
  s.sources.emplace_back(s.next_id, std::move(source));
  return s.next_id++;
}

void remove_metrics_source(int id) {
  source_list& s = sources();
  std::lock_guard<std::mutex> lock(s.mux);
  for (auto it = s.sources.begin(); it != s.sources.end(); ++it) {
    if (it->first == id) {
      s.sources.erase(it);
      return;
    }
  }
}

std::string metrics_text() {
  MetricsOut out;
  runtime_samples(&out);
  source_list& s = sources();
  std::lock_guard<std::mutex> lock(s.mux);
  for (auto& src : s.sources)
    src.second(&out);
  return out.text();
}

void count_connection(int change) {
  runtime_counts& c = counts();
  c.connections.fetch_add(change, std::memory_order_relaxed);
  if (change > 0) bump(c.accepted);
}

void count_refused_connection() {
  bump(counts().refused);
}

// "ok ..." is code 0, "err CODE ..." its code.
void count_answer(const std::string& answer_line) {
  long code = 0;
  if (answer_line.compare(0, 4, "err ") == 0) {
    code = std::strtol(answer_line.c_str() + 4, nullptr, 10);
    if (code <= 0 || code >= CODE_SLOTS) code = CODE_SLOTS;
  }
  bump(counts().answers[code]);
}

void count_save(bool ok) {
  runtime_counts& c = counts();
  bump(c.saves);
  if (!ok) bump(c.failed_saves);
}

}  // namespace norix
