// machine.cc - small machines for the core's tests.

#include "tests/support/machine.h"

#include <stdio.h>
#include <stdlib.h>

namespace fsmtest {

void Log::add(const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(entry);
  cond_.notify_all();
}

std::vector<std::string> Log::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.swap(entries_);
  return out;
}

std::vector<std::string> Log::snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

bool Log::wait_for(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, timeout, [&] { return entries_.size() >= n; });
}

Log& trace() {
  static Log log;
  return log;
}

namespace {

void note(const char* what, FSMstate* st) {
  trace().add(std::string(what) + ":" + st->name);
}

int on_init(FSMstate* st) {
  return note("init", st), 0;
}
int on_poll(FSMstate* st) {
  return note("poll", st), 0;
}
int on_enter(FSMstate* st) {
  return note("enter", st), 0;
}
int on_during(FSMstate* st) {
  return note("during", st), 0;
}
int on_exit(FSMstate* st) {
  return note("exit", st), 0;
}
int on_irq1(FSMstate* st) {
  return note("irq1", st), 0;
}
int on_irq2(FSMstate* st) {
  return note("irq2", st), 0;
}

}  // namespace

void trace_actions(FSMstate* st) {
  st->add_action("init", on_init);
  st->add_action("poll", on_poll);
  st->add_action("enter", on_enter);
  st->add_action("during", on_during);
  st->add_action("exit", on_exit);
  st->add_action("interrupt1", on_irq1);
  st->add_action("interrupt2", on_irq2);
}

int trace_handler(FSMstate* st) {
  trace().add("handler:" + st->name + ":" + st->event_name);
  return 0;
}

void trace_taction(FSMstate* st) {
  note("taction", st);
}

int& guard_result() {
  static int result = 1;
  return result;
}

int trace_guard(FSMstate* st) {
  note("guard", st);
  return guard_result();
}

Machine::Machine() : root(new FSMrootstate(nullptr, "root", "the root")) {
  root->set_root(root);
  trace_actions(root);
  trace().take();
  guard_result() = 1;
}

Machine::~Machine() {
  delete root;
  for (FSMstate* st : owned_)
    delete st;
}

FSMstate* Machine::state(const char* name, int flow_i, FSMsuperstate* in) {
  FSMstate* st = own(new FSMstate(name, (std::string("descr of ") + name).c_str(), 0));
  trace_actions(st);
  (in != nullptr ? in : root)->add_state(flow_i, st);
  return st;
}

FSMsuperstate* Machine::superstate(const char* name, int flow_i, FSMsuperstate* in) {
  FSMsuperstate* st =
      own(new FSMsuperstate(nullptr, name, (std::string("descr of ") + name).c_str(), 0));
  trace_actions(st);
  (in != nullptr ? in : root)->add_state(flow_i, st);
  return st;
}

int Machine::start() {
  root->set_root(root);
  int rc = root->link_state();
  root->init_state();
  root->enter_state();
  trace().take();
  return rc;
}

void Machine::deliver(const char* name, const char* address) {
  FSMevent ev;
  ev.set_event(name, address);
  root->FSMsuperstate::process_event(&ev);
}

void Machine::irq1() {
  FSMevent ev;
  ev.set_event("irq1", "*");
  root->FSMsuperstate::process_irq1(&ev);
}

Dispatcher::Dispatcher(FSMrootstate* root, Kind kind)
    : root_(root), kind_(kind), thread_([this] { run(); }) {}

Dispatcher::~Dispatcher() {
  stop();
}

void Dispatcher::run() {
  FSMevent ev;
  for (;;) {
    switch (kind_) {
      case EVENTS:
        root_->process_event(&ev);
        break;
      case IRQ1:
        root_->process_irq1(&ev);
        break;
      case IRQ2:
        root_->process_irq2(&ev);
        break;
    }
    log.add(ev.event + "@" + ev.state);
    if (ev.event == "stop") break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  cond_.notify_all();
}

void Dispatcher::post(FSMevent* ep) {
  switch (kind_) {
    case EVENTS:
      root_->post_event(ep);
      break;
    case IRQ1:
      root_->post_irq1(ep);
      break;
    case IRQ2:
      root_->post_irq2(ep);
      break;
  }
}

void Dispatcher::stop() {
  if (stopped_) return;
  stopped_ = true;
  FSMevent ev;
  ev.set_event("stop", "nobody");
  post(&ev);
  post(nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cond_.wait_for(lock, std::chrono::seconds(20), [&] { return done_; })) {
    // The loop is stuck inside the root: it can neither be joined nor may
    // the root be destroyed under it.
    fprintf(stderr, "dispatch loop did not stop\n");
    abort();
  }
  lock.unlock();
  thread_.join();
}

void ensure_norix_call() {
  if (norix_call == nullptr) norix_call = new EqCall();
}

}  // namespace fsmtest
