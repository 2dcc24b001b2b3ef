// fsm_labels.cc - the guard names of transitions (server/fsm_labels.h).

#include "server/fsm_labels.h"

#include <pthread.h>

#include <map>
#include <string>

namespace {

struct label {
  std::string name;
  std::string event;  // the transition's trigger and next state when named
  std::string next;
};

pthread_mutex_t labels_mux = PTHREAD_MUTEX_INITIALIZER;  // guards labels(); a leaf

std::map<const FSMstate::branch*, label>& labels() {
  static auto* m = new std::map<const FSMstate::branch*, label>;  // kept for the process
  return *m;
}

}  // namespace

void fsm_name_guard(const FSMstate::branch* br, const std::string& name) {
  if (br == nullptr) return;
  pthread_mutex_lock(&labels_mux);
  if (name.empty()) {
    labels().erase(br);
  } else {
    labels()[br] = label{name, br->event_name, br->next_state};
  }
  pthread_mutex_unlock(&labels_mux);
}

std::string fsm_guard_name(const FSMstate::branch* br) {
  std::string name;
  pthread_mutex_lock(&labels_mux);
  auto at = labels().find(br);
  if (at != labels().end() && at->second.event == br->event_name &&
      at->second.next == br->next_state) {
    name = at->second.name;
  }
  pthread_mutex_unlock(&labels_mux);
  return name;
}
