// archive.cc - ArchiveFile: the history and data files of one machine.
//
// mux_ serialises the file writes and guards the booking lists. It is taken
// after a D_hist's value mutex (booking and samples come from D_hist) and is
// never held while a D_hist is called: the destructor tells the booked
// histories after releasing it.

#include "framework/objects/archive.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/base/mutex.h"
#include "framework/objects/properties.h"

namespace {

std::string one_word(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (isspace(static_cast<unsigned char>(c))) c = '_';
  }
  return out;
}

}  // namespace

ArchiveFile::ArchiveFile(const std::string& hist_file, const char* data_file, bool flag)
    : hist_file_(hist_file),
      data_file_(data_file != nullptr ? data_file : ""),
      flag_(flag),
      failed_(0) {
  norix::internal::init_mutex(&mux_);
  if (flag_) {
    for (const std::string* file : {&hist_file_, &data_file_}) {
      if (file->empty()) continue;
      FILE* f = fopen(file->c_str(), "w");
      if (f == nullptr || fclose(f) != 0) ++failed_;
    }
  }
}

ArchiveFile::~ArchiveFile() {
  pthread_mutex_lock(&mux_);
  std::vector<D_hist*> hists;
  hists.swap(hists_);
  pthread_mutex_unlock(&mux_);
  for (D_hist* h : hists)
    h->drop_archive(this);
  pthread_mutex_destroy(&mux_);
}

const std::string& ArchiveFile::hist_file() const {
  return hist_file_;
}
const std::string& ArchiveFile::data_file() const {
  return data_file_;
}

void ArchiveFile::write_line(const std::string& file, const std::string& line) {
  if (file.empty()) return;
  FILE* f = fopen(file.c_str(), "a");
  if (f == nullptr) {
    ++failed_;
    return;
  }
  bool ok = fputs(line.c_str(), f) >= 0;
  if (fclose(f) != 0 || !ok) ++failed_;
}

void ArchiveFile::book(const std::string& name) {
  std::string word = one_word(name);
  pthread_mutex_lock(&mux_);
  if (std::find(booked_.begin(), booked_.end(), word) == booked_.end()) {
    booked_.push_back(word);
    write_line(hist_file_, word + "\n");
  }
  pthread_mutex_unlock(&mux_);
}

void ArchiveFile::append(const std::string& name, const TDS& sample) {
  EqData value;
  value.set(sample.data);
  std::string line = one_word(name) + " " + std::to_string(static_cast<long long>(sample.tm)) +
                     " " + value.text_value() + " " +
                     std::to_string(static_cast<unsigned>(sample.status)) + "\n";
  pthread_mutex_lock(&mux_);
  write_line(data_file_, line);
  pthread_mutex_unlock(&mux_);
}

long ArchiveFile::failed_writes() {
  pthread_mutex_lock(&mux_);
  long n = failed_;
  pthread_mutex_unlock(&mux_);
  return n;
}

void ArchiveFile::attach(D_hist* hist, const std::string& name) {
  book(name);
  pthread_mutex_lock(&mux_);
  if (std::find(hists_.begin(), hists_.end(), hist) == hists_.end()) hists_.push_back(hist);
  pthread_mutex_unlock(&mux_);
}

void ArchiveFile::detach(D_hist* hist) {
  pthread_mutex_lock(&mux_);
  hists_.erase(std::remove(hists_.begin(), hists_.end(), hist), hists_.end());
  pthread_mutex_unlock(&mux_);
}
