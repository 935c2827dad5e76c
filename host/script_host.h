// Runs a page's JScript with the Windows script engine: the page's objects are named items,
// and the "host" object gives the script echo, sleep and quit.
#pragma once
#include <windows.h>
#include <activscp.h>

#include <functional>
#include <map>
#include <string>

#include "ovtransfer/com/ptr.h"

namespace host {

class CScriptSite;
class CHostObject;

struct ScriptOutput {
  std::function<void(const std::wstring&)> echo;   // one line of host.echo
  std::function<void(const std::wstring&)> error;  // one reported script error
};

class ScriptHost {
 public:
  // source_name names the page in error messages.
  ScriptHost(ScriptOutput output, std::wstring source_name);
  ~ScriptHost();
  ScriptHost(const ScriptHost&) = delete;
  ScriptHost& operator=(const ScriptHost&) = delete;

  // Creates the JScript engine and makes "host" known to it.
  HRESULT Start();
  // Makes object known to script by name (the page's id).
  HRESULT AddObject(const std::wstring& name, IUnknown* object);
  // Runs one block now. first_line is the page line the code starts on (1-based), so
  // errors name page lines. False when the block stopped on an error.
  bool Run(const std::wstring& code, int first_line = 1);
  // Ends the engine and drops every named item. Safe to repeat.
  void Close();

  // While true, host.sleep returns at once and the page stops (its window was closed).
  void SetAbort(std::function<bool()> aborted) { aborted_ = std::move(aborted); }

  bool QuitRequested() const { return quit_; }
  int QuitCode() const { return quit_code_; }
  int ErrorCount() const { return errors_; }
  // The process's answer: quit's code, else 0; a script error makes a zero code 1.
  int ExitCode() const;

  // Called by the engine's site and the host object.
  HRESULT ItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info);
  void ReportError(IActiveScriptError* error);
  void Echo(const std::wstring& line);
  HRESULT Sleep(double ms);
  void Quit(int code);

 private:
  ScriptOutput output_;
  std::wstring source_name_;
  // The block being run, for the line an error names when the engine gives no text.
  const std::wstring* block_code_ = nullptr;
  int block_first_line_ = 1;
  com::ComPtr<IActiveScript> engine_;
  com::ComPtr<IActiveScriptParse> parse_;
  CScriptSite* site_ = nullptr;
  CHostObject* host_object_ = nullptr;
  std::map<std::wstring, com::ComPtr<IUnknown>> items_;
  std::function<bool()> aborted_;
  bool quit_ = false;
  int quit_code_ = 0;
  int errors_ = 0;
  bool block_failed_ = false;
};

// The text that host.echo prints for a script value: JScript's own forms for booleans,
// null and undefined; everything else as the engine converts it to a string.
std::wstring ScriptValueText(const VARIANT& v);

}  // namespace host
