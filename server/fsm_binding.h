// fsm_binding.h - state machines hosted in server locations.
//
// EqFSMlocation (the server location with its engine threads), the
// location's properties (D_fsmstr, D_rname, D_event, D_rstate, D_flow), the
// engines, the machine registry (FSMlist, global_list), the server entry
// hooks and their globals.
//
// Field order and virtual-function order of every class here are fixed:
// applications built against this header depend on them.
//
// Lock order: the process's, written once in fsm/fsm_core.h (L1 to L5).
// Here: a property reader (FAULT, FLOW_n, the views) takes no state or flow
// mutex, only error locks (L5) under the operation lock the framework holds
// (L4); a location's property mutex (data_lock on a location handle, L2)
// comes before the framework property's operation lock (L4); routed data
// access holds that operation lock around one value access and takes
// nothing under it but the property's value mutex; the location mutex is a
// leaf (L5), held while the engine threads are created.
//
// Ownership: a location owns its top state and its four own properties, not
// the FLOW_n, data and address properties the application appends; the
// registry owns its entries, not the locations and states they point to.

#ifndef SERVER_FSM_BINDING_H
#define SERVER_FSM_BINDING_H

#include <pthread.h>
#include <stddef.h>
#include <time.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "framework/norix.h"
#include "fsm/fsm_core.h"

// Location codes: eq_create's argument and fct_code's result.
constexpr int FSM_CODE_ROOT = 100;        // a root location: a whole machine
constexpr int FSM_CODE_SUPERSTATE = 101;  // a superstate location: joins a machine

// ---------------------------------------------------------------------------
// Location properties.

// D_fsmstr: a property whose value is a USTR with room for 80 characters.
class D_fsmstr : public D_fct {
 public:
  D_fsmstr(const char* name, EqFct* ep);
  ~D_fsmstr() override;

  void get(EqAdr* adr, EqData* req, EqData* res, EqFct* loc) override;
  void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;
  void get_multi(EqAdr* adr, EqData* req, EqData* res, int* i, const char* selector,
                 time_t* tm) override;
  void conf(Config* conf) override;
  void read() override;
  void write(std::ostream& fl) override;
  using D_fct::data_type;
  int data_type() const override;  // 103
  virtual void set_value(USTR* usp);

  void set_value(int value);
  void set_value(time_t value);
  void set_f1(float value);
  void set_f2(float value);
  void set_value(const char* comm);
  USTR* value() { return &value_; }

  USTR value_;  // its text pointer always points to comment
  char comment[81];
};

// D_rname: a text property of the location (FSM, DESCR); configuration
// loads set the state's description.
class D_rname : public D_string {
 public:
  D_rname(const char* name, EqFct* ep);
  ~D_rname() override;

  void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;  // ignored
  void read_from_conf(const std::string& text) override;
  void set_state(FSMsuperstate* sp) { state = sp; }

  FSMsuperstate* state;
};

// D_event: EVENT; a client write posts an event to the machine.
class D_event : public D_fsmstr {
 public:
  D_event(const char* name, EqFct* ep);
  ~D_event() override;

  void set(EqAdr* adr, EqData* data, EqData* res, EqFct* loc) override;
  void set_event(USTR* uname);  // parses, posts and stores
  void set_state(FSMsuperstate* sp) { state = sp; }

  FSMsuperstate* state;
  FSMevent evn;  // reused by every post
};

// D_rstate: FAULT; shows the error text of the location's state.
class D_rstate : public D_fsmstr {
 public:
  D_rstate(const char* name, EqFct* ep);
  ~D_rstate() override;

  void get(EqAdr* adr, EqData* req, EqData* res, EqFct* loc) override;
  void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;  // ignored
  void set_state(FSMsuperstate* sp) { state = sp; }

  FSMsuperstate* state;
};

// D_flow: FLOW_n; shows the active state of flow n.
class D_flow : public D_fsmstr {
 public:
  D_flow(const char* name, EqFct* ep);
  ~D_flow() override;

  void get(EqAdr* adr, EqData* req, EqData* res, EqFct* loc) override;
  void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;  // ignored
  void write(std::ostream& fl) override;
  USTR* get_val(int flag);  // 0: the active state; 1: what is saved
  void set_state(FSMsuperstate* sp) { state = sp; }
  int get_id() const { return flow_id; }

  FSMsuperstate* state;
  int flow_id;  // -1 when the name carries no number
};

// D_view: a read-only view of a root location's whole machine. TRACE (the
// transition trace: one USTR per record, oldest first, i1 the record's
// number, tm its time in seconds, f1 its milliseconds, the text naming flow,
// states and event), GRAPH (the live machine as Graphviz DOT text) or MODEL
// (the same as JSON). A read never makes the machine's engines wait (see
// server/fsm_snapshot.h); a write answers ERR_ILLEGAL_WRITE.
class D_view : public D_fct {
 public:
  enum kind_t { VIEW_TRACE, VIEW_GRAPH, VIEW_MODEL };

  D_view(const char* name, EqFct* ep, int kind);
  ~D_view() override;

  void get(EqAdr* adr, EqData* req, EqData* res, EqFct* loc) override;
  using D_fct::data_type;
  int data_type() const override;  // DATA_USTR for TRACE, DATA_STRING otherwise

  int kind;
};

// ---------------------------------------------------------------------------
// EqFSMlocation: a server location hosting one state of a machine: a root
// location (FSM_CODE_ROOT) runs a whole machine on three engine threads; a
// superstate location (FSM_CODE_SUPERSTATE) joins the machine named in its
// FSM property.
//
// `mux` guards fsm_ready and fsm_waiting; it is held briefly, and while the
// engine threads are created.
class FSMstats;

class EqFSMlocation : public EqFct {
 public:
  // type FSM_TYPE_ROOT makes a root location, any other (FSM_TYPE_LOCATION)
  // a superstate location; it is the type of the location's top state.
  explicit EqFSMlocation(int type);

  ~EqFSMlocation() override;
  int fct_code() override;
  void update() override;
  void online() override;
  void init() override;
  void complete() override;

  void bind();  // builds the per-property mutex table
  void interrupt1();
  void interrupt2();

  pthread_mutex_t mux;
  pthread_cond_t cond;
  int fsm_ready;
  int fsm_waiting;
  pthread_t update_id;
  pthread_t irq1_id;
  pthread_t irq2_id;
  FSMsuperstate* state_ptr;  // owned
  D_rname fsm;
  D_rname description;
  D_event event;
  D_rstate status;
  std::vector<D_flow*> flows;  // not owned
  pthread_mutex_t* prop_mux;   // norix_data then norix_address; null before bind()
  pthread_mutex_t prop_amux;
  std::vector<D_fct*> norix_data;     // not owned
  std::vector<D_fct*> norix_address;  // not owned
  // Added: the size of prop_mux and how many norix_data entries it covers,
  // fixed when bind() made the table; data properties appended later lock
  // prop_amux instead of another property's mutex or one past the table.
  size_t prop_mux_count;
  size_t prop_mux_data;
  // Added after prop_mux_data: the views TRACE, GRAPH and MODEL of a root
  // location's machine; owned; null in a superstate location.
  D_view* views[3];
  // Added after views: the running figures of a root location's machine
  // (server/fsm_stats.h); owned; null in a superstate location.
  FSMstats* stats;
};

// ---------------------------------------------------------------------------
// Engines: three threads per root location. The event engine prepares the
// machine and then dispatches its events; the interrupt engines wait until
// the machine is ready and then dispatch its interrupts.

// Engine thread bodies; the argument is the EqFSMlocation. They never return.
void* event_engine(void* lp);
void* irq1_engine(void* lp);
void* irq2_engine(void* lp);

// On the calling thread: initialises and enters the location's machine, then
// marks the location ready and wakes the interrupt engines waiting for it.
// The event engine's first step; a caller without engine threads uses it to
// start a machine synchronously.
void fsm_engine_prepare(EqFSMlocation* loc);

// Creates the three engine threads of a root location with attr, holding
// the location mutex, with the timer and user signals blocked so that they
// are never delivered to the engines. A failed creation leaves the machine
// without that engine; without its event engine it never becomes ready.
void start_engines(EqFSMlocation* loc, const pthread_attr_t* attr);

// ---------------------------------------------------------------------------
// Registration of machine types by the application.

struct node_info {
  node_info* link;
  char name[25];
  void (*create)(EqFSMlocation*);
};

// Head of the application's registration list; the application defines it.
// The library supplies a null default so that programs without an
// application still link.
extern node_info* init_list;

// ---------------------------------------------------------------------------
// FSMlist: the machine registry. Changed only on the start-up thread; read
// without a lock afterwards.
class FSMlist {
 public:
  struct entry {
    std::string fsm;     // the machine name
    EqFSMlocation* loc;  // not owned
    FSMstate* base;      // the root state; not owned
  };

  FSMlist();
  ~FSMlist();
  FSMlist(const FSMlist&) = delete;
  FSMlist& operator=(const FSMlist&) = delete;

  void init_list();
  void store_node(EqFSMlocation* elp);
  int find_node(EqFSMlocation* elp);  // 0 attached or not a superstate location, 1 unknown
  void link_nodes();
  int signal_node(char* fsm, FSMevent* ep);  // 0 delivered, 1 unknown machine

  std::vector<entry*> list;  // owned
};

extern FSMlist global_list;

// Sends a copy of ep to the machine named sp: 0 delivered, 1 unknown.
int send_event(char* sp, FSMevent* ep);

// ---------------------------------------------------------------------------
// Globals and server entry hooks.

extern char* object_name;  // "FSM"
extern EqFct* eq_fct_;
extern int norix_init;

EqFct* eq_create(int eq_code, void* arg);
void eq_init_prolog();
void eq_init_epilog();
void post_init_prolog();
void post_init_epilog();
void refresh_prolog();
void refresh_epilog();
void interrupt_usr1_prolog(int sig);
void interrupt_usr1_epilog(int sig);
void eq_cancel();
// The start-up pass of a location of type code (the runtime's load_pass
// hook): superstate locations are loaded, initialised and completed after
// every root location, so that the machine they join is registered by then.
int fsm_load_pass(int code);

#endif  // SERVER_FSM_BINDING_H
