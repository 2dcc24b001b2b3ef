// fsm_core.h - the state machine core: events, states, superstates, root.
//
// FSMevent; FSMstate (simple states, transitions, actions, local data);
// FSMsuperstate (parallel flows, history, references, data routing);
// FSMrootstate (event and irq queues, dispatch, link table, history
// archive). A superstate may belong to a server location (EqFSMlocation,
// declared in server/fsm_binding.h); the core only keeps a pointer to it,
// and the superstate's members that reach into the location are defined
// with the binding in server/.
//
// Field order and virtual-function order of every class here are fixed:
// applications built against this header depend on them.
//
// Lock order of the whole process, across the layers (all process-private
// POSIX mutexes). A thread that holds a lock of one step takes only locks of
// later steps; every place that takes two locks names the steps it is at.
//   L1 the machine's tree, as the dispatching engine descends it: a flow
//      mutex, then the state mutexes of its states (a superstate's lock_state
//      adds its reader mutex right after its state mutex), then the flow
//      mutexes nested below them, and so on down;
//   L2 under a state mutex: one data item mutex, or one per-property mutex
//      of a location (data_lock on a location handle); never both;
//   L3 norix_mux, which only applications take now (see below);
//   L4 the framework: a property's operation lock (D_fct::op_lock), held by
//      EqCall, the host and routed data access around one operation; then
//      the property's value mutex; then an archive's mutex;
//   L5 leaves, under which nothing is taken: a root's queue mutexes, a
//      state's err_mux, a trace's mutex, arch_mux, the location mutex of
//      the engine start-up, the framework's registry, list, monitor and
//      value-change mutexes, the journal's table of drop counters.
// Reading a location's properties (FAULT, FLOW_n, TRACE, GRAPH, MODEL, the
// web panel) takes nothing of L1 or L2: the readers load the published
// active states and status atomically and copy error texts under err_mux
// (L4 -> L5). So a machine may read any machine's properties, its own
// included, from an action or a data refresh (L1 -> L2 -> L4 -> L5), in
// pairs, cycles or any other pattern, and no reader waits for an engine.
// EqCall keeps no state and is safe from any thread, so the library holds
// no lock of its own around a client call beyond the caller's L1 and L2: a
// peer that is slow or down holds up only the machine that calls it, never
// another machine's refresh. norix_mux stays for applications that must
// keep a sequence of their own calls together; they take it at L3.
//
// Ownership: a state owns its transitions, handlers, data items and private
// block; a superstate owns its flows and reference entries but not the
// states in its flows; the root owns its queued event copies, link entries
// and archive file object.

#ifndef FSM_FSM_CORE_H
#define FSM_FSM_CORE_H

#include <pthread.h>
#include <stddef.h>

#include <string>
#include <vector>

#include "framework/norix.h"

class FSMstate;
class FSMsuperstate;
class FSMrootstate;
class EqFSMlocation;
class FSMtrace;

// State types the library gives meaning to; applications give their own
// states any other value.
constexpr int FSM_TYPE_LOCATION = 1;  // the top state of a superstate location
constexpr int FSM_TYPE_ROOT = 2;      // the top state of a machine (FSMrootstate)

// Action: run for its effect; the result is never used.
typedef int (*FSMaction)(FSMstate*);
// Condition: non-zero allows a transition.
typedef int (*FSMcondition)(FSMstate*);
// Transition action.
typedef void (*FSMtaction)(FSMstate*);

// ---------------------------------------------------------------------------
// FSMevent: an event name, the address of the states it is meant for, and
// the next-state name written by the transition that fires for it.
//
// Address forms: "*" every active state; "name" the state of that name;
// "P!name" the state of that name whose parent's name begins with P;
// "P!*" every child of such a parent.
class FSMevent {
 public:
  FSMevent();

  const char* get_name() const { return event.c_str(); }
  const char* get_state() const { return state.c_str(); }
  const char* get_next() const { return next.c_str(); }

  void set_name(const char* nm);
  void set_state(const char* st);
  void set_next(const char* nx);
  // Sets event and state; next is left as it is.
  void set_event(const char* nm, const char* st);

  std::string event;
  std::string state;
  std::string next;
};

// ---------------------------------------------------------------------------
// FSMstate: the base of every state; a plain FSMstate is a simple state.
//
// `mux` is held for the whole of init_state, enter_state, leave_state,
// process_event, process_irq1 and process_irq2; actions run with it held and
// it is not recursive, so an action never calls those operations (nor
// lock_state) on its own state.
class FSMstate {
 public:
  // A transition; owned by the state that declares it.
  class branch {
   public:
    branch();

    // Fills the transition; a null en changes nothing. A non-null sg_name
    // makes the transition post (sg_name, sg_state) when it fires.
    void define_action(const char* en, const char* ns, FSMcondition cond_eval,
                       FSMtaction trans_action, const char* sg_name, const char* sg_state);
    // Fires the transition for ep in sp: 1 = fired, 0 = not. Called with
    // sp's mutex held; may take the root's queue mutex to post the signal.
    int check(FSMevent* ep, FSMstate* sp);
    const char* get_name() const { return event_name.c_str(); }

    std::string event_name;  // trigger; "*" triggers on every addressed event
    std::string next_state;
    FSMcondition condition;
    FSMtaction taction;
    int flag;        // 1: posts `event` to the root when it fires
    FSMevent event;  // the signal event
  };

  // A named event handler; owned by the state.
  class event_handler {
   public:
    std::string name;
    FSMaction proc;
  };

  // A data item; owned by the state. `mux` guards eq_data and eq_name
  // against the refresh (poll_data) and set_address.
  class local_data {
   public:
    std::string name;
    std::string eq_name;  // device address text; empty = a purely local item
    EqData eq_data;
    pthread_mutex_t mux;
  };

  // A timeout: its event is posted to the machine when the state has been
  // active for `ms` since its entry; owned by the state. Armed by each
  // entry, disarmed when it fires or the state is left. `armed`, `deadline`
  // and `round` are used only by the thread that dispatches the machine's
  // events (which also enters and leaves its states), so they take no lock.
  class timeout {
   public:
    FSMstate* owner;
    long long ms;        // loaded and stored atomically: set_timeout may change it while it runs
    FSMevent event;      // an empty address means the owner's name
    long long deadline;  // on the machines' clock (fsm_clock_ms)
    int armed;           // 1 from an entry until it fires or the state is left
    int booked;          // 1 once the root's timer step lists it
    long round;          // the root's timer round in which it last fired
  };

  explicit FSMstate(int st_type);
  FSMstate(const char* st_name, const char* st_descr, int st_type);
  FSMstate(const FSMstate&) = delete;
  FSMstate& operator=(const FSMstate&) = delete;

  // --- virtual interface, in this order ---
  virtual ~FSMstate();
  virtual void lock_state();
  virtual void unlock_state();
  virtual void set_root(FSMstate* rtptr);
  virtual void server_error(FSMstate* sp, int err, const char* err_desc);
  virtual FSMstate* resolve_link(const char* nm);
  virtual int link_state();  // 0 = success
  virtual void init_state();
  virtual void enter_state();
  virtual void leave_state();
  virtual int process_event(FSMevent* ep);  // 1 = a transition fired (ep->next is set)
  virtual void process_irq1(FSMevent* ep);
  virtual void process_irq2(FSMevent* ep);
  virtual void post_event(FSMevent* ep);
  virtual void post_irq1(FSMevent* ep);
  virtual void post_irq2(FSMevent* ep);
  // Data operations: 0 on success, -1 on failure (handles: -1 = none).
  virtual int data_open(const char* namep, int flag);
  virtual int data_lock(int handle, int flag);
  virtual int data_unlock(int handle, int flag);
  virtual int data_pointer(int handle, void** pp, int flag);
  virtual int data_get(int handle, int* di, int flag);
  virtual int data_get(int handle, float* df, int flag);
  // Text: with *ds null a new array is stored there (the caller releases it
  // with delete[]); otherwise the text goes into the caller's array, which
  // must hold at least 81 characters for a local item.
  virtual int data_get(int handle, char** ds, int flag);
  virtual int data_get(int handle, IIII* di, int flag);
  virtual int data_get(int handle, IFFF* df, int flag);
  virtual int data_set(int handle, int di, int flag);
  virtual int data_set(int handle, float df, int flag);
  virtual int data_set(int handle, char* ds, int flag);
  virtual int data_set(int handle, IIII* di, int flag);
  virtual int data_set(int handle, IFFF* df, int flag);
  virtual int data_set(int handle, TDS* dt, int flag);

  // --- accessors; none takes the lock ---
  int get_type() const { return type; }
  int is_active() const;
  const char* get_name() const { return name.c_str(); }
  const char* get_descr() const { return description.c_str(); }
  const char* get_event_name() const { return event_name.c_str(); }
  // The text stays valid only while nothing changes the error; a reader on
  // another thread than the state's uses copy_error.
  const char* get_error() const { return error.c_str(); }
  void set_name(const char* nm);
  void set_descr(const char* descr);
  void set_event_name(const char* namep);  // "timer" empties it
  void set_error(const char* error_txt);   // the first error since the last clear wins
  void clear_error();
  // Copies the error text into buf (at most size - 1 characters, always
  // terminated when size > 0) and returns the length of the whole text.
  // Safe from any thread and under any other lock: takes only err_mux.
  int copy_error(char* buf, size_t size);
  FSMstate* get_parent() const { return parent; }
  void set_parent(FSMstate* prptr) { parent = prptr; }
  FSMstate* get_root() const { return root; }
  void* get_private() const { return private_data; }
  // A block of size bytes (uninitialised) owned by the state, or null for
  // size <= 0. A second call releases the block of the first.
  void* set_private(int size);

  // --- building ---
  void add_transition(const char* en, FSMcondition ceval, FSMtaction tact, const char* sgn,
                      const char* sgst, const char* ns);
  // The seven action names ("init", "poll", "enter", "during", "exit",
  // "interrupt1", "interrupt2") fill slots; any other name adds a handler
  // unless one of that name exists.
  void add_action(const char* ev_name, FSMaction hdl);
  void add_data(const char* namep, EqData* ptr, const char* eq_name);
  // Posts (ev_name, address) to the machine once the state has been active
  // for ms milliseconds, at the first tick at or after that time; once per
  // entry. A null or empty address is the state's own name. 0 on success,
  // -1 for a negative time or a null or empty event name.
  int add_timeout(long long ms, const char* ev_name, const char* address);
  // Gives the state's timeouts of ev_name a new time, from their next entry
  // on: for the machine's own actions (an "init" action that reads a
  // configured time, say), on the thread that dispatches its events. 0, or
  // -1 for a negative time or when the state has no such timeout.
  int set_timeout(const char* ev_name, long long ms);
  void set_address(const char* namep, const char* eq_name);

  // --- local data ---
  int data_open_loc(const char* nm);
  int data_find(int handle, local_data** ldp);  // position, or -1
  int data_geti(int handle, int* di);
  int data_getf(int handle, float* df);
  int data_gets(int handle, char** ds);
  int data_getii(int handle, IIII* di);
  int data_getif(int handle, IFFF* df);
  int data_seti(int handle, int di);
  int data_setf(int handle, float df);
  int data_sets(int handle, char* ds);
  int data_setii(int handle, IIII* di);
  int data_setif(int handle, IFFF* df);
  int data_settd(int handle, TDS* dt);
  // Whole-container access; negative handles are not passed on.
  int data_get(int handle, EqData& dt);
  int data_set(int handle, EqData& dt);  // a bound item writes through to its device
  // Refreshes every bound item from its device. Called with mux held.
  void poll_data();

  // --- fields, in this order ---
  pthread_mutex_t mux;
  int type;
  int status;  // 0 inactive, 1 active
  std::string name;
  std::string description;
  std::string error;
  std::string event_name;
  FSMstate* root;
  FSMstate* parent;
  void* private_data;
  EqAdr eq_addr;  // working address of poll_data's device calls; used under mux only
  FSMaction reset;
  FSMaction poll;
  FSMaction enter;
  FSMaction during;
  FSMaction leave;
  FSMaction usr_irq1;
  FSMaction usr_irq2;
  std::vector<branch*> transition;
  std::vector<event_handler*> handler;
  std::vector<local_data*> data;
  // Added after the given fields: guards `error` alone, so that property
  // readers can copy it while the state's own thread rewrites it. A leaf
  // lock: nothing else is taken while it is held.
  pthread_mutex_t err_mux;
  // Added after err_mux: non-zero while `error` holds a text. Written under
  // err_mux and read without it, so that clearing an error that is already
  // empty (the refresh of every state without a fault) takes no lock.
  int error_set;
  // Added after error_set: the state's timeouts (owned), in the order
  // added. Empty for most states, which then pay nothing for them.
  std::vector<timeout*> timeouts;
  // Added after timeouts: the wall time (milliseconds since the epoch) of
  // the state's last entry, 0 before the first: the time of the event that
  // entered it (FSMtrace::event_ms). Stored atomically by enter_state, so
  // that the machine's picture may load it without the lock.
  long long entered_ms;
};

// ---------------------------------------------------------------------------
// FSMsuperstate: a state with parallel flows of sub-states.
//
// `mux` (the superstate's own) is taken by lock_state after the state mutex
// and by nothing else. Each flow's mutex guards its active state, `run`, and
// every change of state in the flow; it is not held while the active state
// processes an event or an interrupt. The flow list, the states in each flow
// and the reference table are built before the machine's threads start.
//
// A superstate of a location (`location` not null) reaches the location's
// properties: server_error reports there, negative data handles name its
// data properties (location handles), get_address finds its address
// properties, book_history books its history properties. Those members are
// defined with the binding in server/.
class FSMsuperstate : public FSMstate {
 public:
  // One flow: an ordered set of sub-states, exactly one of them active.
  // A flow starts on a cache line of its own, so that where its mutex and
  // the fields the dispatching thread reads fall does not depend on where
  // the allocator put it or on how large it is (a field added at its end
  // moved them, and every flow next to it, by its size).
  class alignas(64) frame {
   public:
    frame(FSMstate* pp, int flow_id);
    ~frame();
    frame(const frame&) = delete;
    frame& operator=(const frame&) = delete;

    void set_active(const char* name);  // start-state name
    void set_attribute(int flag);       // history
    int get_attribute() const { return history; }
    int get_st_count() const { return static_cast<int>(state.size()); }
    int get_id() const { return id; }
    const char* get_st_name(int index, FSMstate** ptr);
    const char* get_active(const char** descrp, int flag);
    const char* get_error();
    void add_state(FSMstate* st);
    void set_root(FSMstate* rp);
    int link_state();  // 0 = success
    void init_state();
    void enter_state();
    void leave_state();
    int process_event(FSMevent* event);  // always 0
    void process_irq1(FSMevent* event);
    void process_irq2(FSMevent* event);

    // `run` and `active_state` change only on the thread that dispatches
    // the machine's events (and before it starts); that thread alone reads
    // them without mux.
    pthread_mutex_t mux;
    int id;
    int run;      // 1 once the flow has ended on a transition to its superstate
    int history;  // 1: re-entry resumes the last active state
    FSMstate* parent;
    // Both are changed only under mux, with atomic stores, so that the flow
    // queries may load them without mux. Null until linked, and in a flow
    // whose link failed.
    FSMstate* default_state;
    FSMstate* active_state;
    std::string state_name;        // start state; empty = the first state added
    std::vector<FSMstate*> state;  // not owned
    // Added after state: the flow's path ("machine/0/heat/1", see
    // FSMtrace::flow_path), made by link_state, before the machine's threads
    // start, and only read after it: every trace text and journal record of
    // the flow copies it instead of walking the tree. Empty until linked.
    std::string path;
  };

  // A state to adopt by name at link time.
  class ref_entry {
   public:
    std::string name;
    int flow;
    int mark;  // 1 while unresolved
  };

  FSMsuperstate(EqFSMlocation* locptr, const char* np, const char* descr, int stype);

  ~FSMsuperstate() override;
  void lock_state() override;
  void unlock_state() override;
  void set_root(FSMstate* rp) override;
  void server_error(FSMstate* sp, int err, const char* err_desc) override;
  int link_state() override;  // 0 on success, 1 on failure
  void init_state() override;
  void enter_state() override;
  void leave_state() override;
  int process_event(FSMevent* ev) override;
  void process_irq1(FSMevent* ev) override;
  void process_irq2(FSMevent* ev) override;
  void post_event(FSMevent* ev) override;
  void post_irq1(FSMevent* ev) override;
  void post_irq2(FSMevent* ev) override;
  int data_open(const char* namep, int flag) override;
  int data_lock(int handle, int flag) override;
  int data_unlock(int handle, int flag) override;
  int data_pointer(int handle, void** pp, int flag) override;
  // Text read through a location handle into the caller's array (*ds not
  // null): at most 256 bytes, terminator included, are ever written there.
  // Numeric texts are never longer; a USTR text of more than 255 characters
  // is cut to 255 (with a null *ds the new array holds the whole text).
  // Text written to an int or float property that does not begin with a
  // number leaves it unchanged and gives -1; text without four numbers
  // leaves an IIII or IFFF property unchanged and gives 0.
  int data_get(int handle, int* di, int flag) override;
  int data_get(int handle, float* df, int flag) override;
  int data_get(int handle, char** ds, int flag) override;
  int data_get(int handle, IIII* di, int flag) override;
  int data_get(int handle, IFFF* df, int flag) override;
  int data_set(int handle, int di, int flag) override;
  int data_set(int handle, float df, int flag) override;
  int data_set(int handle, char* ds, int flag) override;
  int data_set(int handle, IIII* di, int flag) override;
  int data_set(int handle, IFFF* df, int flag) override;
  int data_set(int handle, TDS* dt, int flag) override;
  using FSMstate::data_find;
  using FSMstate::data_get;
  using FSMstate::data_set;

  void add_state(int flow_i, FSMstate* st);
  void add_reference(int flow_i, const char* np);
  void flow_attributes(int flow_i, const char* nm, int flag);

  // Flow queries for property readers, who hold lock_state around them.
  // They take no flow mutex: a flow's active and default states are
  // published atomically, and state names and descriptions do not change
  // while the machine runs. get_ast_name gives null for no such flow and
  // for a flow without a state to report (no states, or its link failed).
  int get_flow_count() const { return static_cast<int>(flow.size()); }
  int get_flag(int flow_i);
  const char* get_st_name(int flow_i, int index, FSMstate** ptr);
  const char* get_ast_name(int flow_i, const char** descrp, int flag);
  // The text of get_ast_error changes when the state refreshes; readers on
  // other threads use copy_ast_error: the length of the active state's error
  // text copied as by copy_error, 0 (empty text) for a flow without an active
  // state, -1 when there is no such flow.
  const char* get_ast_error(int flow_i);
  int copy_ast_error(int flow_i, char* buf, size_t size);
  EqFSMlocation* get_location() const { return location; }

  // The address property named np (whole name text), or null.
  void* get_address(const char* np);

  // Books the history properties of the location into the machine's
  // archive; the last step of init_state.
  void book_history();

  pthread_mutex_t mux;
  EqFSMlocation* location;
  std::vector<frame*> flow;
  std::vector<ref_entry*> reference_table;

 protected:
  int data_open_net(const char* np, int flag);
  int data_find(int handle, int flag, EqFSMlocation** locp);
  frame* find_flow(int flow_i);
  frame* make_flow(int flow_i);  // finds the flow, creating it on first use
};

// ---------------------------------------------------------------------------
// FSMrootstate: the top state of one machine.
class FSMrootstate : public FSMsuperstate {
 public:
  // One event queue. `mux` guards flag and the queued copies and is taken
  // last: no other lock is taken while it is held. Any thread posts; exactly
  // one engine thread dequeues.
  class queue {
   public:
    queue();
    ~queue();
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;

    void enqueue(FSMevent& er);  // appends a copy of name and state
    void signal();               // starts (or joins) a cycle
    // Blocks until signalled; 1 with the oldest copy in er, or 0 when the
    // queue has run dry (the cycle ends).
    int dequeue(FSMevent& er);

    pthread_mutex_t mux;
    pthread_cond_t cond;
    int flag;                      // 1 while a cycle is under way
    std::vector<FSMevent*> event;  // owned copies, oldest first
    // Added after the given fields: index in `event` of the oldest copy not
    // yet taken out (the slots before it are already released), so that a
    // dequeue costs O(1) amortised instead of moving the rest of the vector.
    size_t head;

    int pending();  // number of copies waiting; takes mux
  };

  struct link_entry {
    std::string name;
    FSMstate* address;  // not owned
  };

  FSMrootstate(EqFSMlocation* locptr, const char* nm, const char* descr);

  ~FSMrootstate() override;
  FSMstate* resolve_link(const char* nm) override;
  void init_state() override;
  int process_event(FSMevent* ep) override;  // one dispatch step; always 0
  void process_irq1(FSMevent* ep) override;
  void process_irq2(FSMevent* ep) override;
  void post_event(FSMevent* ep) override;  // null signals the queue
  void post_irq1(FSMevent* ep) override;
  void post_irq2(FSMevent* ep) override;

  void register_link(FSMstate* sp);
  void init_archiver();

  queue event_fifo;
  queue irq1_fifo;
  queue irq2_fifo;
  std::vector<link_entry*> link_table;  // written at start-up only
  int update_rate;
  ArchiveFile* atdsp;  // owned; made by init_archiver
  // Added after atdsp: the timeouts of the machine's states (not owned),
  // listed at their state's first entry, and the number of timer events
  // dispatched so far. The timer step fires due timeouts from this list;
  // both are used only by the thread that dispatches the events.
  std::vector<FSMstate::timeout*> timers;
  long timer_round;
  // Added after timer_round: the machine's transition trace and change counter
  // (fsm/fsm_trace.h); owned, made by the constructor.
  FSMtrace* trace;
  // Added after trace: the FAULT text (the root's own error) last handed to
  // the journal, so that a change is recorded once at the end of a dispatch
  // step rather than at every clear and set inside it. Used only by the
  // thread that dispatches the events.
  std::string journalled_fault;
};

// ---------------------------------------------------------------------------
// Globals of the core.

extern EqCall* norix_call;         // safe from any thread without a lock
extern pthread_mutex_t norix_mux;  // applications' own calls; lock order L3
extern pthread_mutex_t arch_mux;   // archive creation and booking

// The machines' clock for timeouts: milliseconds on a steady clock. A test
// may replace it (null restores the steady clock); safe from any thread.
typedef long long (*FSMclock)();
void fsm_set_clock(FSMclock clock);
long long fsm_clock_ms();

#endif  // FSM_FSM_CORE_H
