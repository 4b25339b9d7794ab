#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "X11Harness.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmisleading-indentation"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO_SKIP
#include "stb_image.h"
#pragma GCC diagnostic pop

RgbImage loadPng(const std::string& path)
{
    RgbImage image;
    int w = 0, h = 0, channels = 0;
    unsigned char* data = stbi_load(path.c_str(), &w, &h, &channels, 3);
    if (data == nullptr)
        return image;
    image.width = w;
    image.height = h;
    image.pixels.assign(data, data + static_cast<size_t>(w) * h * 3);
    stbi_image_free(data);
    return image;
}

bool savePpm(const RgbImage& image, const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::fprintf(f, "P6\n%d %d\n255\n", image.width, image.height);
    const bool ok = std::fwrite(image.pixels.data(), 1, image.pixels.size(), f) == image.pixels.size();
    return std::fclose(f) == 0 && ok;
}

RgbImage halve(const RgbImage& image)
{
    RgbImage out;
    out.width = image.width / 2;
    out.height = image.height / 2;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c)
            {
                const int sum = image.at(2 * x, 2 * y)[c] + image.at(2 * x + 1, 2 * y)[c]
                              + image.at(2 * x, 2 * y + 1)[c] + image.at(2 * x + 1, 2 * y + 1)[c];
                out.pixels[(static_cast<size_t>(y) * out.width + x) * 3 + c] = static_cast<uint8_t>((sum + 2) / 4);
            }
    return out;
}

ImageDifference compareImages(const RgbImage& a, const RgbImage& b)
{
    ImageDifference d;
    if (a.width != b.width || a.height != b.height || a.empty())
    {
        d.meanAbs = 255.0;
        d.largeFraction = 1.0;
        return d;
    }
    double total = 0.0;
    size_t large = 0;
    const size_t count = static_cast<size_t>(a.width) * a.height;
    for (size_t i = 0; i < count; ++i)
    {
        int worst = 0;
        for (int c = 0; c < 3; ++c)
        {
            const int diff = std::abs(int(a.pixels[i * 3 + c]) - int(b.pixels[i * 3 + c]));
            total += diff;
            worst = diff > worst ? diff : worst;
        }
        if (worst > 32)
            ++large;
    }
    d.meanAbs = total / (static_cast<double>(count) * 3.0);
    d.largeFraction = double(large) / double(count);
    return d;
}

double sharpness(const RgbImage& image)
{
    double sum = 0.0;
    for (int y = 0; y + 1 < image.height; ++y)
        for (int x = 0; x + 1 < image.width; ++x)
            for (int c = 0; c < 3; ++c)
            {
                const double gx = double(image.at(x + 1, y)[c]) - image.at(x, y)[c];
                const double gy = double(image.at(x, y + 1)[c]) - image.at(x, y)[c];
                sum += gx * gx + gy * gy;
            }
    return sum / (double(image.width) * image.height * 3.0);
}

XvfbServer::XvfbServer()
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(fds[0]);
        // Never outlive the test, and keep the test's output pipes free.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0)
        {
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        char fd[16];
        std::snprintf(fd, sizeof(fd), "%d", fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd, "-screen", "0", "2048x2048x24",
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0)
    {
        close(fds[0]);
        return;
    }
    fPid = pid;

    // The server writes its display number once it accepts clients.
    std::string number;
    pollfd p = { fds[0], POLLIN, 0 };
    while (poll(&p, 1, 20000) > 0)
    {
        char ch;
        if (read(fds[0], &ch, 1) != 1 || ch == '\n')
            break;
        number += ch;
    }
    close(fds[0]);
    if (number.empty())
        return;
    fName = ":" + number;
    setenv("DISPLAY", fName.c_str(), 1);
}

XvfbServer::~XvfbServer()
{
    if (fPid > 0)
    {
        kill(fPid, SIGTERM);
        int status = 0;
        waitpid(fPid, &status, 0);
    }
}

// An X error fails the frame that caused it instead of ending the test process.
static int sXErrors = 0;
static int countXError(Display*, XErrorEvent*)
{
    ++sXErrors;
    return 0;
}

HostWindow::HostWindow(int width, int height)
{
    XSetErrorHandler(countXError);
    fDisplay = XOpenDisplay(nullptr);
    if (fDisplay == nullptr)
        return;
    const int screen = DefaultScreen(fDisplay);
    XSetWindowAttributes attributes = {};
    attributes.background_pixel = BlackPixel(fDisplay, screen);
    attributes.override_redirect = True; // stays where it is put, no window manager here
    fWindow = XCreateWindow(fDisplay, RootWindow(fDisplay, screen), 0, 0,
                            static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWBackPixel | CWOverrideRedirect, &attributes);
    XMapRaised(fDisplay, fWindow);
    XSync(fDisplay, False);
}

HostWindow::~HostWindow()
{
    if (fDisplay == nullptr)
        return;
    if (fWindow != 0)
        XDestroyWindow(fDisplay, fWindow);
    XCloseDisplay(fDisplay);
}

void HostWindow::resize(int width, int height)
{
    XResizeWindow(fDisplay, fWindow, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(fDisplay, False);
}

unsigned long HostWindow::child() const
{
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (! XQueryTree(fDisplay, fWindow, &root, &parent, &children, &count))
        return 0;
    const ::Window first = count > 0 ? children[0] : 0;
    if (children != nullptr)
        XFree(children);
    return first;
}

bool HostWindow::childSize(int& width, int& height) const
{
    const ::Window c = child();
    XWindowAttributes attributes;
    if (c == 0 || ! XGetWindowAttributes(fDisplay, c, &attributes))
        return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

RgbImage HostWindow::capture() const
{
    RgbImage image;
    const ::Window c = child();
    XWindowAttributes attributes;
    if (c == 0 || ! XGetWindowAttributes(fDisplay, c, &attributes))
        return image;
    const int errorsBefore = sXErrors;
    XImage* x = XGetImage(fDisplay, c, 0, 0, static_cast<unsigned>(attributes.width),
                          static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    XSync(fDisplay, False);
    if (x == nullptr || sXErrors != errorsBefore)
    {
        if (x != nullptr)
            XDestroyImage(x);
        return image;
    }
    image.width = attributes.width;
    image.height = attributes.height;
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * 3);
    auto shiftOf = [](unsigned long mask) {
        int s = 0;
        while (mask != 0 && (mask & 1) == 0) { mask >>= 1; ++s; }
        return s;
    };
    const int rs = shiftOf(x->red_mask), gs = shiftOf(x->green_mask), bs = shiftOf(x->blue_mask);
    for (int y = 0; y < image.height; ++y)
        for (int px = 0; px < image.width; ++px)
        {
            const unsigned long v = XGetPixel(x, px, y);
            uint8_t* out = &image.pixels[(static_cast<size_t>(y) * image.width + px) * 3];
            out[0] = static_cast<uint8_t>((v & x->red_mask) >> rs);
            out[1] = static_cast<uint8_t>((v & x->green_mask) >> gs);
            out[2] = static_cast<uint8_t>((v & x->blue_mask) >> bs);
        }
    XDestroyImage(x);
    return image;
}

void HostWindow::moveTo(double x, double y)
{
    int rootX = 0, rootY = 0;
    ::Window ignored;
    XTranslateCoordinates(fDisplay, fWindow, DefaultRootWindow(fDisplay),
                          static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
                          &rootX, &rootY, &ignored);
    XTestFakeMotionEvent(fDisplay, DefaultScreen(fDisplay), rootX, rootY, CurrentTime);
    flush();
}

void HostWindow::press(unsigned button)
{
    XTestFakeButtonEvent(fDisplay, button, True, CurrentTime);
    flush();
}

void HostWindow::release(unsigned button)
{
    XTestFakeButtonEvent(fDisplay, button, False, CurrentTime);
    flush();
}

void HostWindow::click(unsigned button)
{
    press(button);
    release(button);
}

void HostWindow::shift(bool down)
{
    XTestFakeKeyEvent(fDisplay, XKeysymToKeycode(fDisplay, XK_Shift_L), down ? True : False, CurrentTime);
    flush();
}

void HostWindow::unmap()
{
    XUnmapWindow(fDisplay, fWindow);
    flush();
}

void HostWindow::map()
{
    XMapRaised(fDisplay, fWindow);
    flush();
}

void HostWindow::flush()
{
    XSync(fDisplay, False);
}

X11Session::X11Session()
    : fHost(800, 1000)
{
    if (! fServer.running() || ! fHost.valid())
        fError = "no X server";
}

RgbImage loadReferenceFrame()
{
    return loadPng(std::string(KORVANE_SOURCE_DIR) + "/tests/editor/reference/editor-default.png");
}

std::string dumpPath(const std::string& name)
{
    const char* dir = std::getenv("KORVANE_EDITOR_SCREENSHOTS");
    return std::string(dir != nullptr ? dir : KORVANE_BINARY_DIR "/tests") + "/" + name + ".ppm";
}

void pumpFor(HostWindow& window, int milliseconds, const std::function<void()>& idle)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end)
    {
        window.flush();
        idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
}

RgbImage settledCapture(HostWindow& window, const std::function<void()>& idle)
{
    RgbImage last = window.capture();
    for (int i = 0; i < 40; ++i)
    {
        pumpFor(window, 50, idle);
        RgbImage now = window.capture();
        if (! now.empty() && now.pixels == last.pixels)
            return now;
        last = std::move(now);
    }
    return last;
}

bool pumpUntil(HostWindow& window, const std::function<bool()>& done, const std::function<void()>& idle,
               int milliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;)
    {
        window.flush();
        idle();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
}

RgbImage changedCapture(HostWindow& window, const RgbImage& before, const std::function<void()>& idle)
{
    pumpUntil(window, [&] {
        const RgbImage now = window.capture();
        return ! now.empty() && (now.width != before.width || now.height != before.height || now.pixels != before.pixels);
    }, idle);
    return settledCapture(window, idle);
}
