// Object table of the user-mode stand-in: HANDLE and HDEVINFO values are
// pointers to objects registered here, so a stale or forged handle is
// detected (ERROR_INVALID_HANDLE) instead of being dereferenced, and a handle
// of one kind is never taken for another.
#ifndef KORVEL_SIM_WIN32_HANDLES_H
#define KORVEL_SIM_WIN32_HANDLES_H

#include <mutex>
#include <unordered_map>

namespace korvel::win32 {

enum class Kind { DeviceFile, Mutex, DevInfoSet };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

class HandleTable {
 public:
  void add(Object* p) {
    std::lock_guard<std::mutex> l(m_);
    // A node of a removed handle is used again: opening and closing a handle
    // per transfer allocates nothing here.
    if (!spare_.empty()) {
      spare_.key() = p;
      spare_.mapped() = p->kind;
      live_.insert(std::move(spare_));
      spare_ = Map::node_type();
      return;
    }
    live_[p] = p->kind;
  }
  // The object, removed from the table, when `p` is a live one of `kind`.
  Object* remove(const void* p, Kind kind) {
    std::lock_guard<std::mutex> l(m_);
    auto it = live_.find(p);
    if (it == live_.end() || it->second != kind) return nullptr;
    spare_ = live_.extract(it);
    return static_cast<Object*>(const_cast<void*>(p));
  }
  // The kind of a live handle; false for anything else.
  bool kind_of(const void* p, Kind* kind) {
    std::lock_guard<std::mutex> l(m_);
    auto it = live_.find(p);
    if (it == live_.end()) return false;
    *kind = it->second;
    return true;
  }
  bool contains(const void* p, Kind kind) {
    Kind k;
    return kind_of(p, &k) && k == kind;
  }

 private:
  using Map = std::unordered_map<const void*, Kind>;
  std::mutex m_;
  Map live_;
  Map::node_type spare_;
};

HandleTable& handle_table();

}  // namespace korvel::win32

#endif
