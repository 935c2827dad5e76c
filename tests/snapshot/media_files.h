// Media files the tests write themselves, and a decoder for the stills they get back.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace snapshot_tests {

// A PCM WAV file: mono, 16 bits, the given number of samples of a quiet tone.
std::string WavBytes(DWORD sample_rate, DWORD samples);

// An uncompressed AVI file (RGB24, stored bottom-up) whose every frame has its upper half in
// colour top and its lower half in colour bottom (COLORREF values).
std::string AviBytes(UINT width, UINT height, UINT frames, UINT frames_per_second, COLORREF top, COLORREF bottom);

struct Image {
  UINT width = 0, height = 0;
  std::vector<BYTE> bgr;  // top row first, 3 bytes a pixel, no padding
  COLORREF At(UINT x, UINT y) const;
};

// Decodes an image file's bytes with the platform's imaging codecs; false if it cannot.
bool DecodeImage(const std::string& bytes, Image* image);

// True when every channel of a is within tolerance of b's.
bool Near(COLORREF a, COLORREF b, int tolerance = 40);

}  // namespace snapshot_tests
