// The live handles of an HTTP handle layer, shared by both backends. Handle values are numbers
// that are never reused, so a stale or foreign value is refused rather than used.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/internet.h"

namespace vexo::platform {

// `Handle` has a member `kind` telling what the handle is (Internet, connection, request).
template <class Handle>
class InternetHandleTable {
 public:
  InternetHandle Add(std::unique_ptr<Handle> handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_next += 8;
    m_handles.emplace(m_next, std::move(handle));
    return reinterpret_cast<InternetHandle>(m_next);
  }

  // The live handle of that value and kind; otherwise null, with the error the platform reports.
  template <class Kind>
  Handle* Find(InternetHandle value, Kind kind, uint32_t& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(reinterpret_cast<uintptr_t>(value));
    if (found == m_handles.end()) {
      error = kErrorInvalidHandle;
      return nullptr;
    }
    if (found->second->kind != kind) {
      error = kErrorInternetIncorrectHandleType;
      return nullptr;
    }
    return found->second.get();
  }

  // Any live handle of that value, whatever its kind; null when there is none.
  Handle* Find(InternetHandle value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(reinterpret_cast<uintptr_t>(value));
    return found == m_handles.end() ? nullptr : found->second.get();
  }

  std::unique_ptr<Handle> Remove(InternetHandle value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(reinterpret_cast<uintptr_t>(value));
    if (found == m_handles.end())
      return nullptr;
    std::unique_ptr<Handle> handle = std::move(found->second);
    m_handles.erase(found);
    return handle;
  }

 private:
  std::mutex m_mutex;
  uintptr_t m_next = 0x1000;
  std::unordered_map<uintptr_t, std::unique_ptr<Handle>> m_handles;
};

}  // namespace vexo::platform
