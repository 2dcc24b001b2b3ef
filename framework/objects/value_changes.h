// value_changes.h - the change signal of property values: the properties
// announce their changes with norix::property_changed, and a watcher of a
// property (the host's monitor connections) is woken through a descriptor
// it can poll. ChangeWatch is not part of the stand-in's interface.

#ifndef FRAMEWORK_OBJECTS_VALUE_CHANGES_H
#define FRAMEWORK_OBJECTS_VALUE_CHANGES_H

#include <map>
#include <set>

class D_fct;

namespace norix {

// A property announces each change of its value with this, once it has
// released its own locks, so that monitor connections push the new value at
// once; values that no setter announces (computed on read) reach them at
// the next periodic scan. Cheap while no connection watches; takes a leaf
// mutex otherwise.
void property_changed(const D_fct* property);

namespace internal {

// A set of watched properties and the changes among them since the last
// take(); its descriptor is readable while changes wait. Used by one thread;
// the change mutex guards what value_changed touches.
class ChangeWatch {
 public:
  ChangeWatch();
  ~ChangeWatch();
  ChangeWatch(const ChangeWatch&) = delete;
  ChangeWatch& operator=(const ChangeWatch&) = delete;

  int fd() const { return fd_; }     // -1 when no descriptor could be made
  void watch(const void* property);  // counted: as many unwatch calls end it
  void unwatch(const void* property);
  std::set<const void*> take();  // the changed properties; empties the set
  // Called with the change mutex held (by property_changed).
  void note(const void* property);

 private:
  int fd_;
  bool signalled_ = false;              // fd_ holds a count; guarded by the change mutex
  std::map<const void*, int> watched_;  // guarded by the change mutex
  std::set<const void*> changed_;       // guarded by the change mutex
};

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_OBJECTS_VALUE_CHANGES_H
