// A page run as a browser would run it: its objects created, checked, initialised from
// their PARAMs and activated, then its JScript blocks run in page order.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace host {

// Process answers besides the script's own quit code.
enum PageExit : int {
  kExitScriptError = 1,  // a script error, when the script did not quit with a code of its own
  kExitUsage = 2,        // bad command line, or the page cannot be read
  kExitObject = 3,       // an object could not be created, was refused or could not load its PARAMs
};

struct PageOptions {
  bool visible = true;  // show the objects' windows (tests run hidden)
  std::function<void(const std::wstring&)> out;  // host.echo lines
  std::function<void(const std::wstring&)> err;  // errors, warnings and notes
};

// Runs the page in the file at path and gives the process exit code.
int RunPageFile(const std::wstring& path, const PageOptions& options);
// Runs page text; base_folder resolves <script src=...>; source_name names it in messages.
int RunPageText(const std::wstring& html, const std::wstring& base_folder, const std::wstring& source_name,
                const PageOptions& options);

// A file's bytes; false (and a message in error) when it cannot be read.
bool ReadFileBytes(const std::wstring& path, std::string* bytes, std::wstring* error);

}  // namespace host
