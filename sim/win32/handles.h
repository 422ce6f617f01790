// Object table of the user-mode stand-in: HANDLE and HDEVINFO values are
// pointers to objects registered here, so a stale or forged handle is
// detected (ERROR_INVALID_HANDLE) instead of being dereferenced.
#ifndef KORVEL_SIM_WIN32_HANDLES_H
#define KORVEL_SIM_WIN32_HANDLES_H

#include <mutex>
#include <unordered_set>

namespace korvel::win32 {

class HandleTable {
 public:
  void add(const void* p) {
    std::lock_guard<std::mutex> l(m_);
    live_.insert(p);
  }
  bool remove(const void* p) {
    std::lock_guard<std::mutex> l(m_);
    return live_.erase(p) == 1;
  }
  bool contains(const void* p) {
    std::lock_guard<std::mutex> l(m_);
    return live_.count(p) == 1;
  }

 private:
  std::mutex m_;
  std::unordered_set<const void*> live_;
};

HandleTable& handle_table();

}  // namespace korvel::win32

#endif
