// The API library that railwatch calls (see Library.h).
#include "Library.h"

namespace railwatch {

#ifdef _WIN32

const Library& TheLibrary() {
    static const Library linked;
    return linked;
}

#else

namespace {
const Library* g_chosen = nullptr;
}  // namespace

LibraryChoice::LibraryChoice(const std::string& apiImage)
    : library_(Library::Choose(apiImage, refusal_)) {
    g_chosen = library_.get();
}

LibraryChoice::~LibraryChoice() { g_chosen = nullptr; }

// Without a choice (a test that links the tool's files), the built-in library.
const Library& TheLibrary() {
    static const std::unique_ptr<Library> builtIn = Library::BuiltIn();
    return g_chosen != nullptr ? *g_chosen : *builtIn;
}

#endif

}  // namespace railwatch
