// A base for classes that own something released when they go away (a file,
// a folder, signal handlers): copying one would release it twice.
#pragma once

class NonCopyable {
 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;

 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;
};
