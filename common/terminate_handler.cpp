// What the C++ runtime does when an exception finds no handler: end the
// process, as its own handler does, without first printing the exception's
// type to the standard error stream. A module in a file manager's process,
// or a helper without a console, has no such stream to be read, and the
// runtime's printing handler links its name demangler and a printf with it,
// over 70 KB of every released file. No exception is meant to get that far:
// every function that foreign code calls catches all (common/call_guarded.h).
//
// Defined under the runtime's own name, so the linker takes this one and
// never the library's.
#include <cstdlib>

namespace __gnu_cxx {

[[noreturn]] void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
