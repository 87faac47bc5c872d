// The JSON library's compiled part, built into the bridge rather than linked
// from a shared library.
#include <boost/json/src.hpp>
