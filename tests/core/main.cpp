#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : "";
  int ran = 0;
  for (const auto& c : check::registry()) {
    if (std::strstr(c.name, filter) == nullptr) continue;
    ++ran;
    const int before = check::failures();
    try {
      c.body();
    } catch (const check::Stop&) {
    } catch (const std::exception& e) {
      check::fail(c.name, 0, std::string("unexpected exception: ") + e.what());
    }
    std::cerr << (check::failures() == before ? "ok    " : "FAIL  ") << c.name << "\n";
  }
  std::cerr << ran << " cases, " << check::failures() << " failed checks\n";
  return check::failures() == 0 && ran > 0 ? 0 : 1;
}
