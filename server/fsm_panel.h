// fsm_panel.h - the web panel of an FSM server: the page, each machine's
// diagram, and the live text of the machines' states (framework/host/http.h).
//
// GET / and the page's other files (panel/, built into the program);
// GET /graph.svg?location=NAME the diagram of a root location's machine,
// laid out once per structure: its nodes and clusters carry the states'
// paths as ids (fsm_snapshot::state_path) and no run, which the page marks
// from the live text:
//   {"server":"FACILITY/DEVICE","machines":[{"location":..,"machine":..,
//    "active":[PATH..],"since":{PATH:MS..},"fault":..,"errors":[TEXT..],
//    "flows":[[NAME,VALUE]..],"trace":[[SEQ,MS,TEXT]..]}..]}

#ifndef SERVER_FSM_PANEL_H
#define SERVER_FSM_PANEL_H

#include <stddef.h>

#include "framework/host/http.h"

// The files of the page, built from panel/ (fsm_panel_files.cc is made by
// the build).
struct fsm_panel_file {
  const char* path;  // "/" for index.html, else "/NAME"
  const char* type;  // content type
  const unsigned char* data;
  size_t size;
};
extern const fsm_panel_file fsm_panel_files[];
extern const size_t fsm_panel_file_count;

// The hooks to give norix::set_http_panel.
norix::HttpPanel fsm_panel();

#endif  // SERVER_FSM_PANEL_H
