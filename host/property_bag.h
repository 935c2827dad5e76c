// The PARAM values of one <object>, handed to the control through IPersistPropertyBag.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "html_page.h"
#include "ovtransfer/com/object.h"

namespace host {

// Read gives VT_BSTR, or the type the caller asks for when the text converts to it;
// names compare ignoring case; a name the page did not give is E_INVALIDARG.
class CPropertyBag : public com::CComBase, public IPropertyBag {
 public:
  explicit CPropertyBag(IUnknown* outer) : CComBase(outer) {}
  static HRESULT Create(const std::vector<PageParam>& params, IPropertyBag** out);

  COM_DELEGATE_IUNKNOWN
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) override;
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override;

  const std::vector<PageParam>& Params() const { return params_; }

 protected:
  void* FindInterface(REFIID iid) override;

 private:
  PageParam* Find(LPCOLESTR name);
  std::vector<PageParam> params_;
};

}  // namespace host
