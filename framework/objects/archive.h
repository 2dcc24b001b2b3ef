// archive.h - ArchiveFile: the history and data files that history
// properties write their samples to.

#ifndef FRAMEWORK_OBJECTS_ARCHIVE_H
#define FRAMEWORK_OBJECTS_ARCHIVE_H

#include <pthread.h>

#include <string>
#include <vector>

#include "framework/values/eq_data.h"

class D_hist;

// ArchiveFile: the history and data files of one machine. Each file is
// opened for one write and closed again; a write that fails is skipped and
// counted (failed_writes()). Names are written with every white-space
// character replaced by "_", so that every line has its fixed fields:
//   history file: one line per name, at its first booking: "<name>\n"
//   data file: one line per sample: "<name> <tm> <value> <status>\n"
//   with tm in seconds, value in EqData's float text form, status in decimal.
// D_hist books under "<booked name>/<property name>". flag true empties both
// files at construction; false appends to what they hold.
class ArchiveFile {
 public:
  ArchiveFile(const std::string& hist_file, const char* data_file,
              bool flag);  // null: no data file
  ~ArchiveFile();

  const std::string& hist_file() const;
  const std::string& data_file() const;
  void book(const std::string& name);
  void append(const std::string& name, const TDS& sample);
  long failed_writes();

 private:
  friend class D_hist;
  void attach(D_hist* hist, const std::string& name);  // books name; remembered until detach
  void detach(D_hist* hist);
  void write_line(const std::string& file, const std::string& line);  // with mux_ held

  std::string hist_file_;
  std::string data_file_;
  bool flag_;
  std::vector<std::string> booked_;  // names already in the history file
  std::vector<D_hist*> hists_;       // histories booked here; told when the archive goes away
  long failed_;
  pthread_mutex_t mux_;  // serialises writes to the files; guards booked_, hists_ and failed_
};

#endif  // FRAMEWORK_OBJECTS_ARCHIVE_H
