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

#include "framework/norix.h"
#include "fsm/fsm.h"
#include "fuzz/fuzz.h"
#include "save_restore/sr_func.h"

namespace {

constexpr size_t kValueMax = 255;

// One file per process and name, removed at exit.
class InputFile {
 public:
  explicit InputFile(const char* name) {
    const char* base = getenv("TMPDIR");
    path_ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/settings_fuzz." +
            std::to_string(getpid()) + "." + name;
  }
  char* path() { return &path_[0]; }
  ~InputFile() { unlink(path_.c_str()); }

  char* write(const uint8_t* data, size_t size) {
    FILE* fp = fopen(path_.c_str(), "wb");
    FUZZ_CHECK(fp != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, fp) == size);
    FUZZ_CHECK(fclose(fp) == 0);
    return &path_[0];
  }

 private:
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputFile input("in.sr");
  static InputFile output("out.sr");
  static FSMstate* nobody = new FSMstate("nobody", "knows no data", 0);
  char* path = input.write(data, size);

  std::vector<sr_data*> list;
  std::vector<sr_data*>* lp = &list;
  EqData err;
  int rc = fill_list(path, &err, &lp);
  FUZZ_CHECK(rc == 0 || list.empty());
  FUZZ_CHECK(rc == 0 || err.error() != 0);
  for (const sr_data* item : list) {
    FUZZ_CHECK(item->name_ != nullptr && item->value_ != nullptr);
    FUZZ_CHECK(strlen(item->value_) <= kValueMax);
    FUZZ_CHECK(item->type_ != 0 || strcmp(item->value_, "  ") == 0);
    EqAdr adr;
    adr.adr(item->name_);
    FUZZ_CHECK(adr.show_adr() == item->name_);
  }

  // get_item reads the file again and must find the same first and last item.
  sr_data copy = {nullptr, nullptr, 0};
  sr_data* cp = &copy;
  for (size_t i : {static_cast<size_t>(1), list.size()}) {
    int r = get_item(path, static_cast<int>(i), &cp);
    if (list.empty()) {
      FUZZ_CHECK(r == 1 && copy.name_ == nullptr);
      continue;
    }
    FUZZ_CHECK(r == 0);
    const sr_data* item = list[i - 1];
    FUZZ_CHECK(strcmp(copy.name_, item->name_) == 0);
    FUZZ_CHECK(strcmp(copy.value_, item->value_) == 0);
    FUZZ_CHECK(copy.type_ == item->type_);
    delete[] copy.name_;
    delete[] copy.value_;
    copy.name_ = copy.value_ = nullptr;
  }
  FUZZ_CHECK(get_item(path, static_cast<int>(list.size()) + 1, &cp) == 1);

  if (rc == 0) {
    // sr_save reports a value holding a ";" (the reader takes one inside
    // the value's first word) as one it cannot save, yet writes it.
    bool semicolon = false;
    for (const sr_data* item : list)
      semicolon = semicolon || strchr(item->value_, ';') != nullptr;
    int saved = sr_save(path, output.path(), &err, nobody);
    FUZZ_CHECK(saved == 0 || (saved == 1 && semicolon));
    std::vector<sr_data*> again;
    std::vector<sr_data*>* ap = &again;
    FUZZ_CHECK(fill_list(output.path(), &err, &ap) == 0);
    FUZZ_CHECK(again.size() == list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      FUZZ_CHECK(strcmp(again[i]->name_, list[i]->name_) == 0);
      FUZZ_CHECK(strcmp(again[i]->value_, list[i]->value_) == 0);
      FUZZ_CHECK(again[i]->type_ == list[i]->type_);
    }
    clear_list(&again);
  }
  clear_list(&list);
  return 0;
}
