#include "media_files.h"

#include <wincodec.h>

#include <cmath>
#include <cstdlib>

#include "ovtransfer/com/ptr.h"

namespace snapshot_tests {
namespace {

class Writer {
 public:
  void U16(unsigned v) { Raw(&v, 2); }
  void U32(DWORD v) { Raw(&v, 4); }
  void Tag(const char* fourcc) { bytes.append(fourcc, 4); }
  void Raw(const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); }
  // Starts a chunk (or a list) and gives the place of its size field.
  size_t Open(const char* fourcc) {
    Tag(fourcc);
    U32(0);
    return bytes.size() - 4;
  }
  void Close(size_t size_at) {
    const DWORD size = static_cast<DWORD>(bytes.size() - size_at - 4);
    bytes.replace(size_at, 4, reinterpret_cast<const char*>(&size), 4);
    if (size & 1) bytes.push_back('\0');
  }
  std::string bytes;
};

}  // namespace

std::string WavBytes(DWORD sample_rate, DWORD samples) {
  Writer w;
  const size_t riff = w.Open("RIFF");
  w.Tag("WAVE");
  const size_t fmt = w.Open("fmt ");
  w.U16(1);  // PCM
  w.U16(1);
  w.U32(sample_rate);
  w.U32(sample_rate * 2);
  w.U16(2);
  w.U16(16);
  w.Close(fmt);
  const size_t data = w.Open("data");
  for (DWORD i = 0; i < samples; ++i)
    w.U16(static_cast<unsigned>(static_cast<short>(1000 * std::sin(i * 0.3))) & 0xFFFF);
  w.Close(data);
  w.Close(riff);
  return w.bytes;
}

std::string AviBytes(UINT width, UINT height, UINT frames, UINT frames_per_second, COLORREF top, COLORREF bottom) {
  const UINT stride = (width * 3 + 3) & ~3u;
  const DWORD frame_size = stride * height;
  std::string frame(frame_size, '\0');
  for (UINT row = 0; row < height; ++row) {
    // Stored bottom-up: the first stored row is the lowest one on screen.
    const COLORREF colour = row < height / 2 ? bottom : top;
    for (UINT x = 0; x < width; ++x) {
      char* pixel = &frame[row * stride + x * 3];
      pixel[0] = static_cast<char>(GetBValue(colour));
      pixel[1] = static_cast<char>(GetGValue(colour));
      pixel[2] = static_cast<char>(GetRValue(colour));
    }
  }

  Writer w;
  const size_t riff = w.Open("RIFF");
  w.Tag("AVI ");
  const size_t hdrl = w.Open("LIST");
  w.Tag("hdrl");
  const size_t avih = w.Open("avih");
  w.U32(1000000 / frames_per_second);
  w.U32(frame_size * frames_per_second);
  w.U32(0);
  w.U32(0x10);  // has an index
  w.U32(frames);
  w.U32(0);
  w.U32(1);  // one stream
  w.U32(frame_size);
  w.U32(width);
  w.U32(height);
  for (int i = 0; i < 4; ++i) w.U32(0);
  w.Close(avih);
  const size_t strl = w.Open("LIST");
  w.Tag("strl");
  const size_t strh = w.Open("strh");
  w.Tag("vids");
  w.Tag("DIB ");
  w.U32(0);  // flags
  w.U16(0);  // priority
  w.U16(0);  // language
  w.U32(0);  // initial frames
  w.U32(1);  // scale
  w.U32(frames_per_second);
  w.U32(0);  // start
  w.U32(frames);
  w.U32(frame_size);
  w.U32(0xFFFFFFFF);  // quality
  w.U32(0);           // sample size
  w.U16(0);
  w.U16(0);
  w.U16(width);
  w.U16(height);
  w.Close(strh);
  const size_t strf = w.Open("strf");
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof(info);
  info.biWidth = static_cast<LONG>(width);
  info.biHeight = static_cast<LONG>(height);
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = frame_size;
  w.Raw(&info, sizeof(info));
  w.Close(strf);
  w.Close(strl);
  w.Close(hdrl);

  const size_t movi = w.Open("LIST");
  const size_t movi_tag = w.bytes.size();
  w.Tag("movi");
  std::vector<DWORD> offsets;
  for (UINT i = 0; i < frames; ++i) {
    offsets.push_back(static_cast<DWORD>(w.bytes.size() - movi_tag));
    const size_t chunk = w.Open("00db");
    w.Raw(frame.data(), frame.size());
    w.Close(chunk);
  }
  w.Close(movi);
  const size_t idx1 = w.Open("idx1");
  for (DWORD offset : offsets) {
    w.Tag("00db");
    w.U32(0x10);  // key frame
    w.U32(offset);
    w.U32(frame_size);
  }
  w.Close(idx1);
  w.Close(riff);
  return w.bytes;
}

COLORREF Image::At(UINT x, UINT y) const {
  const BYTE* p = &bgr[(static_cast<size_t>(y) * width + x) * 3];
  return RGB(p[2], p[1], p[0]);
}

bool DecodeImage(const std::string& bytes, Image* image) {
  com::ComPtr<IWICImagingFactory> wic;
  com::ComPtr<IWICStream> stream;
  com::ComPtr<IWICBitmapDecoder> decoder;
  com::ComPtr<IWICBitmapFrameDecode> frame;
  com::ComPtr<IWICFormatConverter> converter;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              wic.ReceiveVoid())) ||
      FAILED(wic->CreateStream(stream.Receive())) ||
      FAILED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                          static_cast<DWORD>(bytes.size()))) ||
      FAILED(wic->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.Receive())) ||
      FAILED(decoder->GetFrame(0, frame.Receive())) || FAILED(wic->CreateFormatConverter(converter.Receive())) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->GetSize(&image->width, &image->height)))
    return false;
  image->bgr.resize(static_cast<size_t>(image->width) * image->height * 3);
  return SUCCEEDED(converter->CopyPixels(nullptr, image->width * 3, static_cast<UINT>(image->bgr.size()),
                                         image->bgr.data()));
}

bool Near(COLORREF a, COLORREF b, int tolerance) {
  return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
         std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

}  // namespace snapshot_tests
