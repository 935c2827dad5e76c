#include "snapshot_capture.h"

#include <dshow.h>
#include <qedit.h>
#include <wincodec.h>

#include <algorithm>
#include <vector>

#include "../com/ptr.h"
#include "../com/result.h"

namespace probe {
namespace {

// The SDK's qedit.h no longer declares these two classes.
constexpr CLSID kSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
constexpr CLSID kNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

constexpr LONG kPauseWaitMs = 10000;

struct Frame {
  UINT width = 0, height = 0, stride = 0;
  std::vector<BYTE> pixels;  // 24-bit BGR, top row first
};

// The pins of the filter in the given direction that are not connected yet.
std::vector<com::ComPtr<IPin>> OpenPins(IBaseFilter* filter, PIN_DIRECTION direction) {
  std::vector<com::ComPtr<IPin>> found;
  com::ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.Receive()))) return found;
  com::ComPtr<IPin> pin;
  while (pins->Next(1, pin.Receive(), nullptr) == S_OK) {
    PIN_DIRECTION d;
    com::ComPtr<IPin> peer;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction && pin->ConnectedTo(peer.Receive()) != S_OK)
      found.push_back(pin);
  }
  return found;
}

HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* from, IBaseFilter* to) {
  const std::vector<com::ComPtr<IPin>> inputs = OpenPins(to, PINDIR_INPUT);
  if (inputs.empty()) return VFW_E_NOT_FOUND;
  HRESULT hr = VFW_E_CANNOT_CONNECT;
  // A source may offer several streams; the first one that reaches the input is taken.
  for (const com::ComPtr<IPin>& output : OpenPins(from, PINDIR_OUTPUT))
    if (SUCCEEDED(hr = graph->Connect(output.Get(), inputs[0].Get()))) return S_OK;
  return hr;
}

// Decodes the frame at position through a sample grabber that asks for RGB24.
HRESULT GrabFrame(const std::wstring& media_path, LONGLONG position, Frame* frame, LONG* seconds) {
  com::ComPtr<IGraphBuilder> graph;
  RETURN_IF_FAILED(
      CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.ReceiveVoid()));
  com::ComPtr<IBaseFilter> source, grabber_filter, sink;
  RETURN_IF_FAILED(graph->AddSourceFilter(media_path.c_str(), L"Source", source.Receive()));
  RETURN_IF_FAILED(
      CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabber_filter.ReceiveVoid()));
  com::ComPtr<ISampleGrabber> grabber;
  RETURN_IF_FAILED(grabber_filter.As(&grabber, IID_ISampleGrabber));
  AM_MEDIA_TYPE wanted = {};
  wanted.majortype = MEDIATYPE_Video;
  wanted.subtype = MEDIASUBTYPE_RGB24;
  wanted.formattype = FORMAT_VideoInfo;
  RETURN_IF_FAILED(grabber->SetMediaType(&wanted));
  RETURN_IF_FAILED(grabber->SetBufferSamples(TRUE));
  RETURN_IF_FAILED(CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, sink.ReceiveVoid()));
  RETURN_IF_FAILED(graph->AddFilter(grabber_filter.Get(), L"Grabber"));
  RETURN_IF_FAILED(graph->AddFilter(sink.Get(), L"Sink"));
  // A file without a video stream fails here.
  RETURN_IF_FAILED(ConnectFilters(graph.Get(), source.Get(), grabber_filter.Get()));
  RETURN_IF_FAILED(ConnectFilters(graph.Get(), grabber_filter.Get(), sink.Get()));

  AM_MEDIA_TYPE connected = {};
  RETURN_IF_FAILED(grabber->GetConnectedMediaType(&connected));
  com::UniqueCoTaskMem<BYTE> format(connected.pbFormat);
  LONG width = 0, height = 0;
  if (connected.formattype == FORMAT_VideoInfo && connected.pbFormat &&
      connected.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const BITMAPINFOHEADER& bitmap = reinterpret_cast<VIDEOINFOHEADER*>(connected.pbFormat)->bmiHeader;
    width = bitmap.biWidth;
    height = bitmap.biHeight;
  }
  if (connected.pUnk) connected.pUnk->Release();
  const bool bottom_up = height > 0;
  height = height < 0 ? -height : height;
  if (width <= 0 || height <= 0) return VFW_E_INVALIDMEDIATYPE;

  com::ComPtr<IMediaControl> control;
  com::ComPtr<IMediaSeeking> seeking;
  RETURN_IF_FAILED(graph.As(&control, IID_IMediaControl));
  RETURN_IF_FAILED(graph.As(&seeking, IID_IMediaSeeking));
  control->Stop();
  seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
  control->Pause();
  OAFilterState state = State_Stopped;
  HRESULT hr = control->GetState(kPauseWaitMs, &state);
  if (hr != S_OK || state != State_Paused) {
    control->Stop();
    return FAILED(hr) ? hr : VFW_E_TIMEOUT;
  }
  LONGLONG duration = 0;
  seeking->GetDuration(&duration);
  long size = 0;
  hr = grabber->GetCurrentBuffer(&size, nullptr);
  std::vector<BYTE> buffer(SUCCEEDED(hr) && size > 0 ? static_cast<size_t>(size) : 0);
  if (!buffer.empty()) hr = grabber->GetCurrentBuffer(&size, reinterpret_cast<long*>(buffer.data()));
  control->Stop();
  RETURN_IF_FAILED(hr);

  const UINT stride = (static_cast<UINT>(width) * 3 + 3) & ~3u;
  if (buffer.size() < static_cast<size_t>(stride) * static_cast<UINT>(height)) return VFW_E_BUFFER_UNDERFLOW;
  frame->width = static_cast<UINT>(width);
  frame->height = static_cast<UINT>(height);
  frame->stride = stride;
  frame->pixels.resize(static_cast<size_t>(stride) * frame->height);
  for (UINT row = 0; row < frame->height; ++row) {
    const UINT from = bottom_up ? frame->height - 1 - row : row;
    std::copy_n(buffer.data() + static_cast<size_t>(from) * stride, stride,
                frame->pixels.data() + static_cast<size_t>(row) * stride);
  }
  if (seconds) *seconds = static_cast<LONG>((duration + 4999999) / 10000000);
  return S_OK;
}

HRESULT EncodeJpeg(const Frame& frame, const std::wstring& output_path) {
  com::ComPtr<IWICImagingFactory> wic;
  RETURN_IF_FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                    wic.ReceiveVoid()));
  com::ComPtr<IWICBitmap> bitmap;
  RETURN_IF_FAILED(wic->CreateBitmapFromMemory(frame.width, frame.height, GUID_WICPixelFormat24bppBGR, frame.stride,
                                               static_cast<UINT>(frame.pixels.size()),
                                               const_cast<BYTE*>(frame.pixels.data()), bitmap.Receive()));
  com::ComPtr<IWICBitmapSource> still(bitmap.Get());
  UINT width = frame.width, height = frame.height;
  if (width > kMaxStillSide || height > kMaxStillSide) {
    const double scale = static_cast<double>(kMaxStillSide) / std::max(width, height);
    width = std::max(1u, static_cast<UINT>(width * scale));
    height = std::max(1u, static_cast<UINT>(height * scale));
    com::ComPtr<IWICBitmapScaler> scaler;
    RETURN_IF_FAILED(wic->CreateBitmapScaler(scaler.Receive()));
    RETURN_IF_FAILED(scaler->Initialize(bitmap.Get(), width, height, WICBitmapInterpolationModeFant));
    still = com::ComPtr<IWICBitmapSource>(scaler.Get());
  }

  com::ComPtr<IWICStream> stream;
  RETURN_IF_FAILED(wic->CreateStream(stream.Receive()));
  RETURN_IF_FAILED(stream->InitializeFromFilename(output_path.c_str(), GENERIC_WRITE));
  com::ComPtr<IWICBitmapEncoder> encoder;
  com::ComPtr<IWICBitmapFrameEncode> target;
  com::ComPtr<IPropertyBag2> options;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  RETURN_IF_FAILED(wic->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.Receive()));
  RETURN_IF_FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
  RETURN_IF_FAILED(encoder->CreateNewFrame(target.Receive(), options.Receive()));
  RETURN_IF_FAILED(target->Initialize(options.Get()));
  RETURN_IF_FAILED(target->SetSize(width, height));
  RETURN_IF_FAILED(target->SetPixelFormat(&format));
  if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  RETURN_IF_FAILED(target->WriteSource(still.Get(), nullptr));
  RETURN_IF_FAILED(target->Commit());
  RETURN_IF_FAILED(encoder->Commit());
  return S_OK;
}

}  // namespace

HRESULT CaptureSnapshot(const std::wstring& media_path, LONGLONG position, const std::wstring& output_path,
                        LONG* seconds) {
  Frame frame;
  RETURN_IF_FAILED(GrabFrame(media_path, position, &frame, seconds));
  // The encoder and its stream are gone when EncodeJpeg returns, so a half-written file can go.
  const HRESULT hr = EncodeJpeg(frame, output_path);
  if (FAILED(hr)) DeleteFileW(output_path.c_str());
  return hr;
}

}  // namespace probe
