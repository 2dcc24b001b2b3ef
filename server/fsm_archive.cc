// fsm_archive.cc - the machine's history archive: made by the root when a
// superstate first books a history property of its location, at
// initialisation.
//
// arch_mux is taken last, around archive creation and booking; nothing else
// is taken while it is held.

#include <pthread.h>
#include <stdio.h>

#include <string>

#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"

namespace {

// Names of the archive files, terminator included.
constexpr size_t kArchiveNameSize = 80;
// Fixed argument of every booking.
constexpr int kHistBookSize = 200;

}  // namespace

// Runs on the machine's event engine thread (from init_state); takes
// arch_mux around each booking.
void FSMsuperstate::book_history() {
  if (location == nullptr) return;
  for (D_fct* p : location->norix_data) {
    auto* hp = dynamic_cast<D_hist*>(p);
    if (hp == nullptr || p->data_type() != DATA_HIST) continue;
    auto* rt = dynamic_cast<FSMrootstate*>(get_root());
    if (rt == nullptr) continue;
    rt->init_archiver();
    if (rt->atdsp == nullptr) continue;
    pthread_mutex_lock(&arch_mux);
    hp->book_hist(rt->atdsp, location->name(), ring_buffer, kHistBookSize);
    pthread_mutex_unlock(&arch_mux);
  }
}

// atdsp is tested without a lock: every booking of one machine runs on its
// event engine thread. A root without a location has no machine name and
// gets no archive. Takes arch_mux around the creation.
void FSMrootstate::init_archiver() {
  if (atdsp != nullptr || location == nullptr) return;
  std::string machine = location->fsm.value();
  char hist[kArchiveNameSize];
  char data_file[kArchiveNameSize];
  snprintf(hist, sizeof hist, "%s.hist", machine.c_str());
  snprintf(data_file, sizeof data_file, "%s.data", machine.c_str());
  pthread_mutex_lock(&arch_mux);
  atdsp = new ArchiveFile(std::string(hist), data_file, false);
  pthread_mutex_unlock(&arch_mux);
}
