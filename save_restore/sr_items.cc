// sr_items.cc - item lists: releasing them, and listing the properties of a
// live server as items.

#include <string>
#include <vector>

#include "save_restore/internal.h"
#include "save_restore/sr_func.h"

namespace {

using sr_internal::client_call;
using sr_internal::copy_text;
using sr_internal::is_space;
using sr_internal::kTextSize;

}  // namespace

void clear_list(std::vector<sr_data*>* list) {
  if (list == nullptr) return;
  for (sr_data* item : *list) {
    if (item == nullptr) continue;
    delete[] item->name_;
    delete[] item->value_;
    delete item;
  }
  list->clear();
}

void clear(std::vector<char*>* list) {
  if (list == nullptr) return;
  for (char* text : *list)
    delete[] text;
  delete list;
}

int fill_struct(char* svr, std::vector<sr_data*>* list, int op) {
  if (svr == nullptr || list == nullptr) return 1;
  EqAdr adr;
  adr.adr(svr);
  EqData request;
  EqData answer;
  // Appends the error item for the names request on adr that failed.
  auto fail = [&]() {
    char text[kTextSize];
    sr_data* item = new sr_data;
    item->name_ = copy_text(adr.show_adr().c_str());
    item->value_ = copy_text(answer.get_string(text, sizeof text));
    item->type_ = 0;
    list->push_back(item);
  };
  auto ask_names = [&]() {
    client_call(&answer, [&](EqCall* c) { c->names(&adr, &answer); });
    return answer.error() == 0;
  };

  std::vector<char*>* locations = new std::vector<char*>;
  int rc = 0;
  if (adr.location()[0] == '\0') {
    std::string facility = adr.facility();
    std::string device = adr.device();
    adr.set(facility, "*", device, "");
    if (!ask_names()) {
      fail();
      rc = 1;
    }
    for (int i = 0; rc == 0 && i < answer.length(); ++i) {
      USTR* entry = answer.get_ustr(i);
      if (entry != nullptr && entry->str_data.str_data_val != nullptr) {
        locations->push_back(copy_text(entry->str_data.str_data_val));
      }
    }
  } else {
    locations->push_back(copy_text(adr.location()));
  }

  for (size_t l = 0; rc == 0 && l < locations->size(); ++l) {
    adr.set_location((*locations)[l]);
    adr.set_property("*");
    if (!ask_names()) {
      fail();
      rc = 1;
      break;
    }
    bool fnd = op != 0;
    for (int i = 0; i < answer.length(); ++i) {
      USTR* entry = answer.get_ustr(i);
      if (entry == nullptr || entry->str_data.str_data_val == nullptr) continue;
      const char* text = entry->str_data.str_data_val;
      while (*text != '\0' && is_space(static_cast<unsigned char>(*text)))
        ++text;
      size_t n = 0;
      while (text[n] != '\0' && !is_space(static_cast<unsigned char>(text[n])))
        ++n;
      if (n == 0) continue;
      std::string name(text, n);
      if (name.find("FLOW_") != std::string::npos) {
        fnd = true;
        continue;
      }
      if (!fnd) continue;
      adr.set_property(name);
      sr_data* item = new sr_data;
      item->name_ = copy_text(adr.show_adr().c_str());
      item->value_ = copy_text("");
      item->type_ = entry->i1_data;
      list->push_back(item);
    }
  }
  clear(locations);
  return rc;
}
