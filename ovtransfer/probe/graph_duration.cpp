#include "graph_duration.h"

#include <dshow.h>

#include "../com/ptr.h"

namespace probe {

HRESULT MeasureGraphDuration(const std::wstring& path, LONGLONG* duration) {
  *duration = 0;
  com::ComPtr<IGraphBuilder> graph;
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.ReceiveVoid());
  if (FAILED(hr)) return hr;
  // The GDI renderer is in the graph before rendering, so video goes to it and not to the
  // default renderer, which some systems cannot run (Wine's crashes). Audio-only files
  // leave it unconnected.
  com::ComPtr<IBaseFilter> renderer;
  if (SUCCEEDED(CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                 renderer.ReceiveVoid())))
    graph->AddFilter(renderer.Get(), L"Video Renderer");
  if (FAILED(hr = graph->RenderFile(path.c_str(), nullptr))) return hr;

  com::ComPtr<IVideoWindow> window;
  if (SUCCEEDED(graph.As(&window, IID_IVideoWindow))) window->put_AutoShow(OAFALSE);
  com::ComPtr<IBasicAudio> audio;
  if (SUCCEEDED(graph.As(&audio, IID_IBasicAudio))) audio->put_Volume(-10000);
  com::ComPtr<IMediaControl> control;
  if (FAILED(hr = graph.As(&control, IID_IMediaControl))) return hr;
  control->Pause();
  com::ComPtr<IMediaSeeking> seeking;
  if (SUCCEEDED(graph.As(&seeking, IID_IMediaSeeking))) seeking->GetDuration(duration);
  control->Stop();  // nothing plays on while the graph goes
  return S_OK;
}

}  // namespace probe
