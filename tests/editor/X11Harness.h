#pragma once

// What the end-to-end editor tests need of X: a private Xvfb server, a host window to embed
// the editor in, synthetic pointer input through XTest, and screenshots.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // RGB, rows top to bottom

    const uint8_t* at(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * 3]; }
    bool empty() const { return pixels.empty(); }
};

// Decodes a PNG file; empty when the file is missing or not an image.
RgbImage loadPng(const std::string& path);
// Writes a binary PPM, for looking at a failing frame.
bool savePpm(const RgbImage& image, const std::string& path);
// Halves both sides by averaging 2 x 2 blocks.
RgbImage halve(const RgbImage& image);

struct ImageDifference {
    double meanAbs = 0.0;        // mean absolute channel difference, 0..255
    double largeFraction = 0.0;  // share of pixels with a channel off by more than 32
};
ImageDifference compareImages(const RgbImage& a, const RgbImage& b);

// Mean squared gradient: higher for sharper pictures of the same content.
double sharpness(const RgbImage& image);

// The committed frame of the editor at its defaults, scale 1; empty when missing.
RgbImage loadReferenceFrame();
// Where a frame is kept when a comparison fails, or when KORVANE_EDITOR_SCREENSHOTS asks for
// frames (it names the folder).
std::string dumpPath(const std::string& name);

// A test whose editor session did not come up fails with the session's reason.
#define REQUIRE_SESSION(s) \
    if (! (s).error().empty()) FAIL() << "editor session: " << (s).error()

// Starts Xvfb on a display number the server picks itself, and points DISPLAY at it.
class XvfbServer {
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return fPid > 0 && ! fName.empty(); }
    const std::string& name() const { return fName; }

private:
    int fPid = -1;
    std::string fName;
};

// Xlib's header stays out of the tests: its macros (None, Bool, ...) clash with GoogleTest.
struct _XDisplay;

// One top-level window standing in for the host's editor frame.
class HostWindow {
public:
    HostWindow(int width, int height);
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    bool valid() const { return fDisplay != nullptr && fWindow != 0; }
    unsigned long window() const { return fWindow; }
    void resize(int width, int height);

    // The first child window (the embedded editor), 0 when none.
    unsigned long child() const;
    // Size of the embedded editor's window.
    bool childSize(int& width, int& height) const;
    RgbImage capture() const;

    // Pointer input at window coordinates of the host window.
    void moveTo(double x, double y);
    void press(unsigned button);
    void release(unsigned button);
    void click(unsigned button);
    void shift(bool down);
    // Unmapping ends any pointer grab inside the window, as when a host hides the editor mid-drag.
    void unmap();
    void map();
    void flush();

private:
    _XDisplay* fDisplay = nullptr;
    unsigned long fWindow = 0;
};

// What an editor session holds of X: the private server and the host window, 800 x 1000 until
// the editor sizes it. error() says why a session did not come up; empty when it did.
class X11Session {
public:
    const std::string& error() const { return fError; }
    HostWindow& host() { return fHost; }

protected:
    X11Session();

    XvfbServer fServer;
    HostWindow fHost;
    std::string fError;
};

// Main-thread time: the host's duties (`idle`: its timers or run loop, which drive the editor's
// event handling and redraws) about every 8 ms for that long.
void pumpFor(HostWindow& window, int milliseconds, const std::function<void()>& idle);
// A frame once drawing has settled: two equal captures in a row, 50 ms of pumping apart.
RgbImage settledCapture(HostWindow& window, const std::function<void()>& idle);
// Pumps until `done` holds, at most for `milliseconds`; whether it held. What a test waits
// for is an effect of its input, so a slow machine takes longer instead of failing.
bool pumpUntil(HostWindow& window, const std::function<bool()>& done, const std::function<void()>& idle,
               int milliseconds = 5000);
// The settled frame once drawing has moved on from `before` (the input has been drawn), or
// the settled frame at the deadline when nothing changed.
RgbImage changedCapture(HostWindow& window, const RgbImage& before, const std::function<void()>& idle);
