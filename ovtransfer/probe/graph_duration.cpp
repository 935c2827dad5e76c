#include "graph_duration.h"

#include <dshow.h>

#include "../com/ptr.h"
#include "../com/result.h"

namespace probe {

HRESULT MeasureGraphDuration(const std::wstring& path, LONGLONG* duration) {
  *duration = 0;
  com::ComPtr<IGraphBuilder> graph;
  RETURN_IF_FAILED(
      CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.ReceiveVoid()));
  // The GDI renderer is in the graph before rendering, so video goes to it and not to the
  // default renderer, which some systems cannot run (Wine's crashes). Audio-only files
  // leave it unconnected.
  com::ComPtr<IBaseFilter> renderer;
  if (SUCCEEDED(CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                 renderer.ReceiveVoid())))
    graph->AddFilter(renderer.Get(), L"Video Renderer");
  RETURN_IF_FAILED(graph->RenderFile(path.c_str(), nullptr));

  com::ComPtr<IVideoWindow> window;
  if (SUCCEEDED(graph.As(&window, IID_IVideoWindow))) window->put_AutoShow(OAFALSE);
  com::ComPtr<IBasicAudio> audio;
  if (SUCCEEDED(graph.As(&audio, IID_IBasicAudio))) audio->put_Volume(-10000);
  com::ComPtr<IMediaControl> control;
  RETURN_IF_FAILED(graph.As(&control, IID_IMediaControl));
  control->Pause();
  com::ComPtr<IMediaSeeking> seeking;
  if (SUCCEEDED(graph.As(&seeking, IID_IMediaSeeking))) seeking->GetDuration(duration);
  control->Stop();  // nothing plays on while the graph goes
  return S_OK;
}

}  // namespace probe
