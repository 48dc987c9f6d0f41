// A minimal unit-test harness: TEST(name) registers a case, CHECK and CHECK_EQ record failures
// without stopping the case, REQUIRE stops it. The runner takes an optional substring filter.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  void (*body)();
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures() {
  static int count = 0;
  return count;
}

struct Register {
  Register(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

struct Stop {};

template <class T>
std::string show(const T& value) {
  std::ostringstream out;
  if constexpr (requires { out << value; }) {
    out << value;
  } else {
    out << "<unprintable>";
  }
  return out.str();
}

inline void fail(const char* file, int line, const std::string& what) {
  ++failures();
  std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

}  // namespace check

#define CHECK_CAT_INNER_(a, b) a##b
#define CHECK_CAT_(a, b) CHECK_CAT_INNER_(a, b)

#define TEST(name)                                                                    \
  static void CHECK_CAT_(test_, name)();                                              \
  static check::Register CHECK_CAT_(register_, name)(#name, CHECK_CAT_(test_, name)); \
  static void CHECK_CAT_(test_, name)()

#define CHECK(cond)                                      \
  do {                                                   \
    if (!(cond)) check::fail(__FILE__, __LINE__, #cond); \
  } while (false)

#define CHECK_EQ(a, b)                                                              \
  do {                                                                              \
    const auto& check_a_ = (a);                                                     \
    const auto& check_b_ = (b);                                                     \
    if (!(check_a_ == check_b_))                                                    \
      check::fail(__FILE__, __LINE__,                                               \
                  std::string(#a " == " #b " (") + check::show(check_a_) + " vs " + \
                      check::show(check_b_) + ")");                                 \
  } while (false)

#define REQUIRE(cond)                         \
  do {                                        \
    if (!(cond)) {                            \
      check::fail(__FILE__, __LINE__, #cond); \
      throw check::Stop{};                    \
    }                                         \
  } while (false)
