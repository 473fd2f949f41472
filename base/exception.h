#pragma once

#include "base/string.h"

namespace base {

// The program's own exceptions. Nothing catches them: they end the process.
class exception_t {
  public:
    explicit exception_t(const char* message);
    virtual ~exception_t();
    const string_t& message() const { return message_; }

  private:
    string_t message_;
};

class out_of_memory_exception_t : public exception_t {
  public:
    out_of_memory_exception_t();
};

}  // namespace base
