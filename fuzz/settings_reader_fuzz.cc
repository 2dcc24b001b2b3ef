// settings_reader_fuzz.cc - the settings-file reader over arbitrary bytes.
//
// Each input is written to a private file and read with fill_list and
// get_item. Every item must come back with both texts, a value within the
// reader's limit and an address text that parses back to itself; get_item
// must agree with the list. sr_save then writes the items again through a
// state that knows none of them (so each keeps its value from the file),
// and that file must read back into the same items.

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "save_restore/sr_func.h"

namespace {

// A file of this process under $TMPDIR.
std::string temp_file(const char* suffix) {
  const char* base = getenv("TMPDIR");
  return std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/settings_fuzz." +
         std::to_string(getpid()) + suffix;
}

bool same_item(const sr_data& a, const sr_data& b) {
  return strcmp(a.name_, b.name_) == 0 && strcmp(a.value_, b.value_) == 0 && a.type_ == b.type_;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string in = temp_file(".in.sr");
  static std::string out = temp_file(".out.sr");
  static FSMstate* nobody = new FSMstate("nobody", "knows no data", 0);
  FILE* fp = fopen(in.c_str(), "wb");
  FUZZ_CHECK(fp != nullptr && fwrite(data, 1, size, fp) == size && fclose(fp) == 0);
  char* path = &in[0];

  std::vector<sr_data*> list;
  std::vector<sr_data*>* lp = &list;
  EqData err;
  int rc = fill_list(path, &err, &lp);
  FUZZ_CHECK(rc == 0 || (list.empty() && err.error() != 0));
  for (const sr_data* item : list) {
    FUZZ_CHECK(item->name_ != nullptr && item->value_ != nullptr &&
               strlen(item->value_) <= 255);  // the reader's limit
    FUZZ_CHECK(item->type_ != 0 || strcmp(item->value_, "  ") == 0);
    EqAdr adr;
    adr.adr(item->name_);
    FUZZ_CHECK(adr.show_adr() == item->name_);
  }

  // get_item reads the file again and must find the same last item, and
  // none after it.
  sr_data copy = {nullptr, nullptr, 0};
  sr_data* cp = &copy;
  int last = static_cast<int>(list.size());
  FUZZ_CHECK(get_item(path, last + 1, &cp) == 1 && copy.name_ == nullptr);
  FUZZ_CHECK(last == 0 || (get_item(path, last, &cp) == 0 && same_item(copy, *list.back())));
  delete[] copy.name_;
  delete[] copy.value_;

  if (rc == 0) {
    // sr_save reports a value holding a ";" (the reader takes one inside
    // the value's first word) as one it cannot save, yet writes it.
    bool semicolon = false;
    for (const sr_data* item : list)
      semicolon = semicolon || strchr(item->value_, ';') != nullptr;
    int saved = sr_save(path, &out[0], &err, nobody);
    FUZZ_CHECK(saved == 0 || (saved == 1 && semicolon));
    std::vector<sr_data*> again;
    std::vector<sr_data*>* ap = &again;
    FUZZ_CHECK(fill_list(&out[0], &err, &ap) == 0 && again.size() == list.size());
    for (size_t i = 0; i < list.size(); ++i)
      FUZZ_CHECK(same_item(*again[i], *list[i]));
    clear_list(&again);
  }
  clear_list(&list);
  unlink(in.c_str());
  unlink(out.c_str());
  return 0;
}
