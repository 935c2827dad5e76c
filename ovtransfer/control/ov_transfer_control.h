// The upload control: the one creatable class of the component, driven by a page's script.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>
#include <commctrl.h>

#include <string>

#include "../com/dispatch.h"
#include "../com/object.h"
#include "../com/ptr.h"
#include "../com/unique.h"
#include "../outside/net_support.h"
#include "../queue/scheduler.h"
#include "../queue/task_builder.h"
#include "../queue/task_queue.h"
#include "../snapshot/job_reports.h"
#include "../ui/task_list_view.h"
#include "connection_point.h"
#include "ovtransfer_idl.h"

// A window-only composite control on dialog 104, with the ActiveX interfaces a browser uses.
class COvTransferControl : public com::CComBase,
                           public IOvTransferControl,
                           public IViewObjectEx,
                           public IOleInPlaceObjectWindowless,
                           public IOleInPlaceActiveObject,
                           public IOleControl,
                           public IOleObject,
                           public IPersistStreamInit,
                           public ISupportErrorInfo,
                           public IConnectionPointContainer,
                           public IPersistPropertyBag,
                           public ISpecifyPropertyPages,
                           public IQuickActivate,
                           public IPersistStorage,
                           public IDataObject,
                           public IProvideClassInfo2 {
 public:
  explicit COvTransferControl(IUnknown* outer);
  ~COvTransferControl() override;

  COM_DELEGATE_IUNKNOWN
  COM_DISPATCH_FROM_TYPELIB(TypeInfo(), IOvTransferControl)

  // IOvTransferControl
  STDMETHODIMP get_DatabaseGUID(BSTR* value) override;
  STDMETHODIMP put_DatabaseGUID(BSTR value) override;
  STDMETHODIMP get_EnabledRate(LONG* value) override;
  STDMETHODIMP put_EnabledRate(LONG value) override;
  STDMETHODIMP get_UploadRate(ULONG* value) override;
  STDMETHODIMP put_UploadRate(ULONG value) override;
  STDMETHODIMP get_SnapshotUploadUrl(BSTR* value) override;
  STDMETHODIMP put_SnapshotUploadUrl(BSTR value) override;
  STDMETHODIMP Open(BSTR bstrUserID, BSTR bstrUserName, BSTR bstrUserPass) override;
  STDMETHODIMP Close() override;
  STDMETHODIMP ShowFileDialog(BSTR bstrTitle, BSTR bstrFileFilter, BSTR bstrOldFileName,
                              BSTR* pbstrFileName) override;
  STDMETHODIMP ShowFolderDialog(BSTR bstrTitle, BSTR bstrOldFolderName, BSTR* pbstrFolderName) override;
  STDMETHODIMP AddItem(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryFile,
                       BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                       LONG* lResult) override;
  STDMETHODIMP AddItem2(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryCotent,
                        BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                        LONG* lResult) override;
  STDMETHODIMP AddItem3(BSTR bstrTitle, BSTR bstrIPAddress, USHORT uPort, BSTR bstrPrimaryLink,
                        BSTR bstrSecondaryFile, BSTR bstrRemoteName1, BSTR bstrRemoteName2, ULONG ulStyle,
                        LONG* lResult) override;
  STDMETHODIMP FileIsExist(BSTR strFilePath, LONG* pbRet) override;
  STDMETHODIMP FolderIsExist(BSTR strFolderPath, LONG* pbRet) override;
  STDMETHODIMP GetFileSize(BSTR strFilePath, ULONG* pulRet) override;
  STDMETHODIMP GetFolderSize(BSTR strFolderPath, LONG bIncludeSubdir, ULONG* pulRet) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

  // IViewObject, IViewObject2, IViewObjectEx
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* device, HDC target_dc, HDC dc,
                    LPCRECTL bounds, LPCRECTL window_bounds, BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR),
                    ULONG_PTR cont_arg) override;
  STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;
  STDMETHODIMP GetRect(DWORD aspect, LPRECTL rect) override;
  STDMETHODIMP GetViewStatus(DWORD* status) override;
  STDMETHODIMP QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT where, LONG close_hint, DWORD* result) override;
  STDMETHODIMP QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT rect, LONG close_hint, DWORD* result) override;
  STDMETHODIMP GetNaturalExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, HDC dc, DVEXTENTINFO* info,
                                LPSIZEL size) override;

  // IOleWindow, IOleInPlaceObject, IOleInPlaceObjectWindowless, IOleInPlaceActiveObject
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetDropTarget(IDropTarget**) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

  // IOleControl
  STDMETHODIMP GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
  STDMETHODIMP OnMnemonic(MSG*) override { return S_OK; }
  STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
  STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD save_option) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT position) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IPersist, IPersistStreamInit, IPersistPropertyBag, IPersistStorage
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  STDMETHODIMP Load(IStream* stream) override;
  STDMETHODIMP Save(IStream* stream, BOOL clear_dirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) override;
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL same_as_load) override;
  STDMETHODIMP SaveCompleted(IStorage*) override { return S_OK; }
  STDMETHODIMP HandsOffStorage() override { return S_OK; }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // IQuickActivate
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override;
  STDMETHODIMP GetContentExtent(LPSIZEL size) override;

  // IDataObject
  STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC* format) override;
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override;
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) override;
  STDMETHODIMP DUnadvise(DWORD cookie) override;
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA** out) override;

  // IProvideClassInfo, IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

  // The control's window (the dialog), or null while it is not in-place active.
  HWND Window() const { return window_; }
  COLORREF BackColor() const { return back_color_; }
  HWND ListWindow() const { return view_.ListWindow(); }

  // The control's state, read by its own tests and by the parts that drive the queue.
  const com::Bstr& UserID() const { return UserID_; }
  const com::Bstr& UserName() const { return UserName_; }
  const com::Bstr& UserPass() const { return UserPass_; }
  LONG MaxTaskCount() const { return MaxTaskCount_; }
  LONG RunningCount() const { return queue_.RunningCount(); }
  LONG NextTaskId() const { return static_cast<LONG>(queue_.NextTaskId()); }
  const CTaskQueue& Queue() const { return queue_; }
  CTaskQueue& Queue() { return queue_; }
  DWORD WindowReady() const { return WindowReady_; }
  LONG SelectedTaskId() const { return SelectedTaskId_; }

 protected:
  void* FindInterface(REFIID iid) override;
  void FinalRelease() override;

 private:
  static com::CTypeInfoHolder& TypeInfo();
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Window and activation.
  HRESULT InPlaceActivate(LONG verb);
  HRESULT CreateControlWindow(HWND parent, const RECT& position);
  INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam, bool* handled);
  BOOL OnInitDialog();
  void ReadAmbientBackColor();
  void Repaint();
  void ViewChanged();
  HRESULT DrawContent(HDC dc, const RECT& bounds);

  // Persistence of the property list.
  HRESULT SaveProperties(IStream* stream);
  HRESULT LoadProperties(IStream* stream);
  HRESULT WriteProperty(IPropertyBag* bag, const wchar_t* name, VARIANT value);

  // Creation of upload tasks, through the task builder. AddUpload gives S_OK when the task
  // was queued, S_FALSE otherwise.
  HRESULT AddUpload(const NewUpload& upload, BSTR address, LONG* result);
  HRESULT AddLink(const NewUpload& upload, BSTR address, const std::wstring& link, LONG* result);
  // The primary entry, the row and the saved queue that end every add (hr: how far it got);
  // a failure removes the task again and becomes the result. True when the task is queued.
  bool CompleteNewTask(size_t index, HRESULT hr, const std::wstring& primary, const std::wstring& remote1, DWORD flags,
                       LONG* result);
  // Ready check, address, then the builder's duplicate check and field sizes; false when the
  // call ends there.
  bool AcceptUpload(const NewUpload& upload, BSTR address, LONG* result, DWORD* ipv4);
  void RemoveAllTasks();

  // Rows of the task list, one per task in list order: the list view's.
  void InitTaskList() { view_.Attach(window_); }
  HRESULT InsertTaskRow(const UploadTask& task, int row) { return view_.InsertTaskRow(task, row); }
  HRESULT DeleteTaskRow(DWORD task_id) { return view_.DeleteTaskRow(task_id); }
  HRESULT UpdateTaskRow(const UploadTask& task, int index = -1) { return view_.UpdateTaskRow(task, index); }
  LRESULT DrawProgressCell(NMLVCUSTOMDRAW* draw) { return view_.DrawProgressCell(draw); }
  void LayoutControls(int width, int height) { view_.LayoutControls(width, height, EnabledRate_ != 0); }
  HRESULT SelectTaskRow(DWORD task_id) { return view_.SelectTaskRow(task_id); }
  HRESULT MoveTaskRow(DWORD task_id, DWORD neighbour_id) { return view_.MoveTaskRow(task_id, neighbour_id); }
  HRESULT ScrollToActiveTask() { return view_.ScrollToActiveTask(); }
  void UpdateCommandButtons(LONG state, bool not_first, bool not_last) {
    view_.UpdateCommandButtons(state, not_first, not_last);
  }

  // The task commands of the buttons, the context menu and the Delete key.
  void OnTaskCommand(UINT id);
  void OnSelectionChanged(const NMLISTVIEW& change);
  void ShowTaskMenu(int row);
  void UpdateButtonsFor(size_t index);
  void TaskPosition(size_t index, bool* not_first, bool* not_last) const;
  int SelectedTaskIndex();
  void StartSelected();
  void PauseSelected();
  void DeleteSelected();
  void DeleteWhere(const wchar_t* question, bool (*matches)(DWORD state));
  void MoveSelected(int step);
  bool Confirm(const std::wstring& question);

  // The two limit lists.
  void FillLimitControls();
  void OnLimitChosen(UINT combo_id);


  // The queue of the open user on disk; nothing is saved or loaded without a user and a database id.
  HRESULT SaveTasks();
  HRESULT LoadTasks();
  // The scheduler and the engine's notifications, handed to the scheduler.
  void SchedulerTick();
  HRESULT StartTask(size_t index);
  void OnTransferNotify(WPARAM code, LPARAM task_id);
  LRESULT OnListNotify(NMHDR* header);

  // ActiveX state.
  com::ComPtr<IOleClientSite> client_site_;
  com::ComPtr<IOleInPlaceSite> in_place_site_;
  com::ComPtr<IOleAdviseHolder> ole_advise_;
  com::ComPtr<IDataAdviseHolder> data_advise_;
  com::ComPtr<IAdviseSink> view_sink_;
  DWORD view_sink_aspects_ = 0, view_sink_flags_ = 0;
  CEventConnectionPoint events_;
  HWND window_ = nullptr;
  bool in_place_active_ = false;
  bool ui_active_ = false;
  bool dirty_ = false;
  SIZEL extent_ = {};          // HIMETRIC, the container's units
  SIZEL natural_extent_ = {};  // the dialog's own size
  COLORREF back_color_ = GetSysColor(COLOR_BTNFACE);
  com::UniqueGdi<HBRUSH> back_brush_;

  // Fields in declaration order; the numbers are the values of a new control. The queue
  // holds the task list with its running count and the id counter.
  com::ComPtr<INetSupport> NetSupport_;
  CTaskQueue queue_;
  LONG MaxTaskCount_ = 4;
  ULONG UploadRate_ = 2048;  // units of 1024; 0 means unlimited
  com::Bstr UserName_;
  com::Bstr UserPass_;
  com::Bstr DatabaseGUID_;
  com::Bstr SnapshotUploadUrl_;
  com::Bstr UserID_;
  DWORD WindowReady_ = 0;
  LONG SelectedTaskId_ = -1;
  LONG EnabledRate_ = 1;
  // Where the snapshot and duration workers leave their flag changes for this thread.
  snapshot::CJobReportsLink JobReports_;

  // What the scheduler asks of the control: rows, the view of a finished task, saving, and
  // the snapshot and duration jobs.
  class SchedulerSink final : public ISchedulerSink {
   public:
    explicit SchedulerSink(COvTransferControl& control) : control_(control) {}
    void TaskRowChanged(const UploadTask& task, int index) override;
    void TaskFinished(const UploadTask& task) override;
    void SaveWanted() override;
    void TransferStarting(UploadTask& task) override;

   private:
    COvTransferControl& control_;
  };
  CTaskListView view_{queue_};  // the list window and the two limit lists
  CTaskBuilder builder_{queue_};
  CRegisteredEngineFactory engines_;
  SchedulerSink scheduler_sink_{*this};
  CScheduler scheduler_{queue_, engines_, scheduler_sink_,
                        SchedulerInputs{MaxTaskCount_, UploadRate_, UserName_, UserPass_, window_}};
};
