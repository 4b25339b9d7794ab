#pragma once

// Signals and a block-by-block render loop for the host-level tests.

#include "HostedPlugin.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Stereo
{
    std::vector<float> l, r;

    size_t size() const noexcept { return l.size(); }
    void append(const Stereo& other);
};

// A bass-like test tone: a few harmonics of a low note with a slow level swell, different
// on the two channels. Deterministic for a given seed.
Stereo bassSignal(double sampleRate, double seconds, float amplitude, uint32_t seed = 1);
// A plain sine on both channels.
Stereo sineSignal(double sampleRate, double seconds, double frequency, float amplitude);
Stereo silence(double sampleRate, double seconds);

// A parameter value that takes effect at an absolute frame of the render.
struct TimedEvent
{
    size_t frame;
    uint32_t index;
    double value;
};

// Feeds the input through the plug-in in blocks of the given sizes (cycled), handing each
// event to the block that holds its frame. With inPlace the output overwrites the input buffers.
Stereo render(HostedPlugin& plugin, const Stereo& input, const std::vector<uint32_t>& blocks,
              const std::vector<TimedEvent>& events = {}, bool inPlace = false);

// Block sizes drawn from 1..maxBlock, deterministic for a seed.
std::vector<uint32_t> randomBlocks(uint32_t seed, size_t count, uint32_t maxBlock);

double rms(const std::vector<float>& x, size_t from, size_t to);
bool allFinite(const std::vector<float>& x);
// The mono sum the plug-in works on, delayed by a number of samples (silence before).
std::vector<float> delayedMono(const Stereo& in, uint32_t delay);

// Everything the process writes to file descriptor 2 while this is alive, or until finish().
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores file descriptor 2 and returns what was written (again on later calls).
    std::string finish();

private:
    std::FILE* fFile;
    int fSaved = -1;
    std::string fText;
};
