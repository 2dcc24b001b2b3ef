// metrics.h - the server's figures for a facility's monitoring, served at
// /metrics of the web panel (framework/host/http_endpoint.h) in the
// standard text exposition format.
//
// A scrape asks every source for its samples; sources read counters that
// their owners keep as relaxed atomics or already keep for themselves, so
// that a scrape never makes a dispatching thread wait. The runtime's own
// figures (connections, requests by result code, saves) are counted here.

#ifndef FRAMEWORK_HOST_METRICS_H
#define FRAMEWORK_HOST_METRICS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace norix {

// The samples of one scrape. A name is a family: its help and kind are
// those of its first sample; samples of a family differ in their labels.
class MetricsOut {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;

  MetricsOut();
  ~MetricsOut();
  MetricsOut(const MetricsOut&) = delete;
  MetricsOut& operator=(const MetricsOut&) = delete;

  void counter(const std::string& name, const std::string& help, double value,
               const Labels& labels = {});
  void gauge(const std::string& name, const std::string& help, double value,
             const Labels& labels = {});
  // A summary without quantiles: the sum and the count of what was observed.
  void summary(const std::string& name, const std::string& help, double sum, uint64_t count,
               const Labels& labels = {});
  // The samples so far in the text exposition format.
  std::string text() const;

 private:
  struct families;
  std::unique_ptr<families> families_;
};

using MetricsSource = std::function<void(MetricsOut* out)>;

// Adds a source; the number removes it. Sources are asked in the order they
// were added, on the scraping thread, one scrape at a time.
int add_metrics_source(MetricsSource source);
void remove_metrics_source(int id);

// Every source's samples, the runtime's first.
std::string metrics_text();

// The runtime's counts; any thread.
void count_connection(int change);                  // +1 accepted, -1 ended
void count_refused_connection();                    // refused at the limit of connections
void count_answer(const std::string& answer_line);  // by its result code
void count_save(bool ok);

}  // namespace norix

#endif  // FRAMEWORK_HOST_METRICS_H
