// The editor opened through the VST3 module as a Linux host opens it: the edit controller's
// view attached to an X window of the host, with the host's run loop (timers and file
// descriptors) offered through the plug-in frame.

#include "Vst3Host.hpp"
#include "X11Harness.h"

#include "travesty/view.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const std::string kModulePath = std::string(KORVANE_BINARY_DIR) + "/bin/Korvane.vst3";

bool sameTuid(const v3_tuid a, const v3_tuid b)
{
    return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

// The host side of the view: its frame (resize requests) and its run loop.
struct HostFrame;

// What the plug-in holds: the address of a vtable pointer, with the owner right behind it.
struct FrameRef {
    void* vtable;
    HostFrame* owner;
};

struct HostFrame {
    v3_plugin_frame_cpp frame;
    v3_run_loop_cpp loop;
    FrameRef frameRef;
    FrameRef loopRef;
    HostWindow* window;
    std::vector<v3_timer_handler**> timers;
    std::vector<std::pair<v3_event_handler**, int>> handlers;

    explicit HostFrame(HostWindow* w)
        : frame(), loop(), frameRef { &frame, this }, loopRef { &loop, this }, window(w)
    {
        frame.query_interface = queryInterface;
        frame.ref = frame.unref = noRef;
        frame.frame.resize_view = resizeView;
        loop.query_interface = queryInterface;
        loop.ref = loop.unref = noRef;
        loop.loop.register_event_handler = registerEventHandler;
        loop.loop.unregister_event_handler = unregisterEventHandler;
        loop.loop.register_timer = registerTimer;
        loop.loop.unregister_timer = unregisterTimer;
    }

    v3_plugin_frame** interface() { return reinterpret_cast<v3_plugin_frame**>(&frameRef); }

    void tick()
    {
        for (const auto& h : std::vector<std::pair<v3_event_handler**, int>>(handlers))
            v3_cpp_obj(h.first)->on_fd_is_set(h.first, h.second);
        for (v3_timer_handler** t : std::vector<v3_timer_handler**>(timers))
            v3_cpp_obj(t)->on_timer(t);
    }

    static HostFrame* of(void* self) { return static_cast<FrameRef*>(self)->owner; }

    static v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** obj)
    {
        HostFrame* const f = of(self);
        if (sameTuid(iid, v3_funknown_iid) || sameTuid(iid, v3_plugin_frame_iid))
        {
            *obj = &f->frameRef;
            return V3_OK;
        }
        if (sameTuid(iid, v3_run_loop_iid))
        {
            *obj = &f->loopRef;
            return V3_OK;
        }
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static uint32_t V3_API noRef(void*) { return 1; }

    static v3_result V3_API resizeView(void* self, v3_plugin_view** view, v3_view_rect* rect)
    {
        HostFrame* const f = of(self);
        f->window->resize(rect->right - rect->left, rect->bottom - rect->top);
        return v3_cpp_obj(view)->on_size(view, rect);
    }
    static v3_result V3_API registerEventHandler(void* self, v3_event_handler** handler, int fd)
    {
        of(self)->handlers.emplace_back(handler, fd);
        return V3_OK;
    }
    static v3_result V3_API unregisterEventHandler(void* self, v3_event_handler** handler)
    {
        auto& hs = of(self)->handlers;
        for (size_t i = 0; i < hs.size(); ++i)
            if (hs[i].first == handler)
            {
                hs.erase(hs.begin() + static_cast<std::ptrdiff_t>(i));
                return V3_OK;
            }
        return V3_INVALID_ARG;
    }
    static v3_result V3_API registerTimer(void* self, v3_timer_handler** handler, uint64_t)
    {
        of(self)->timers.push_back(handler);
        return V3_OK;
    }
    static v3_result V3_API unregisterTimer(void* self, v3_timer_handler** handler)
    {
        auto& ts = of(self)->timers;
        for (size_t i = 0; i < ts.size(); ++i)
            if (ts[i] == handler)
            {
                ts.erase(ts.begin() + static_cast<std::ptrdiff_t>(i));
                return V3_OK;
            }
        return V3_INVALID_ARG;
    }
};

class Vst3EditorSession : public X11Session {
public:
    explicit Vst3EditorSession(float scale = 0.0f)
        : fFrame(&fHost)
    {
        if (! fError.empty())
            return;
        try
        {
            fModule = std::make_unique<Vst3Module>(kModulePath);
        }
        catch (const std::exception& e)
        {
            fError = e.what();
            return;
        }
        const Vst3ClassInfo* controllerClass = nullptr;
        for (const Vst3ClassInfo& c : fModule->classes())
            if (c.category == "Component Controller Class")
                controllerClass = &c;
        if (controllerClass == nullptr)
        {
            fError = "no edit controller class";
            return;
        }
        v3_plugin_factory** const factory = fModule->factory();
        v3_tuid iid;
        std::memcpy(iid, v3_edit_controller_iid, sizeof(iid));
        if (v3_cpp_obj(factory)->create_instance(factory, controllerClass->classId, iid,
                                                  reinterpret_cast<void**>(&fController)) != V3_OK
            || fController == nullptr)
        {
            fError = "cannot create the edit controller";
            return;
        }
        if (v3_cpp_obj_initialize(fController, fModule->hostContext()) != V3_OK)
        {
            fError = "controller initialize failed";
            return;
        }
        fView = v3_cpp_obj(fController)->create_view(fController, "editor");
        if (fView == nullptr)
        {
            fError = "no editor view";
            return;
        }
        if (v3_cpp_obj(fView)->is_platform_type_supported(fView, V3_VIEW_PLATFORM_TYPE_X11) != V3_OK)
        {
            fError = "X11 embedding not supported";
            return;
        }
        if (scale > 0.0f)
        {
            v3_plugin_view_content_scale** contentScale = nullptr;
            if (v3_cpp_obj_query_interface(fView, v3_plugin_view_content_scale_iid, &contentScale) == V3_OK
                && contentScale != nullptr)
            {
                v3_cpp_obj(contentScale)->set_content_scale_factor(contentScale, scale);
                v3_cpp_obj_unref(contentScale);
            }
        }
        v3_cpp_obj(fView)->set_frame(fView, fFrame.interface());
        if (v3_cpp_obj(fView)->attached(fView, reinterpret_cast<void*>(fHost.window()),
                                         V3_VIEW_PLATFORM_TYPE_X11) != V3_OK)
        {
            fError = "attached failed";
            return;
        }
        fAttached = true;
        v3_view_rect rect = {};
        v3_cpp_obj(fView)->get_size(fView, &rect);
        fHost.resize(rect.right - rect.left, rect.bottom - rect.top);
        pump(300);
    }

    ~Vst3EditorSession()
    {
        if (fView != nullptr)
        {
            if (fAttached)
                v3_cpp_obj(fView)->removed(fView);
            v3_cpp_obj_unref(fView);
        }
        if (fController != nullptr)
        {
            v3_cpp_obj_terminate(fController);
            v3_cpp_obj_unref(fController);
        }
    }

    v3_plugin_view** view() const { return fView; }

    void pump(int milliseconds) { pumpFor(fHost, milliseconds, [this] { fFrame.tick(); }); }
    RgbImage settledFrame() { return settledCapture(fHost, [this] { fFrame.tick(); }); }

private:
    HostFrame fFrame;
    std::unique_ptr<Vst3Module> fModule;
    v3_edit_controller** fController = nullptr;
    v3_plugin_view** fView = nullptr;
    bool fAttached = false;
};

TEST(Vst3Editor, ViewHasTheDesignSizeAndLooksLikeTheClapEditor)
{
    Vst3EditorSession s;
    REQUIRE_SESSION(s);
    v3_view_rect rect = {};
    ASSERT_EQ(v3_cpp_obj(s.view())->get_size(s.view(), &rect), V3_OK);
    EXPECT_EQ(rect.right - rect.left, 384);
    EXPECT_EQ(rect.bottom - rect.top, 498);
    EXPECT_NE(v3_cpp_obj(s.view())->can_resize(s.view()), V3_TRUE);

    const RgbImage frame = s.settledFrame();
    ASSERT_EQ(frame.width, 384);
    ASSERT_EQ(frame.height, 498);
    const RgbImage reference = loadReferenceFrame();
    ASSERT_FALSE(reference.empty());
    const ImageDifference d = compareImages(frame, reference);
    if (d.meanAbs > 1.5 || d.largeFraction > 0.002 || std::getenv("KORVANE_EDITOR_SCREENSHOTS") != nullptr)
        savePpm(frame, dumpPath("vst3-default"));
    EXPECT_LT(d.meanAbs, 1.5) << "frame kept at " << dumpPath("vst3-default");
    EXPECT_LT(d.largeFraction, 0.002);
}

TEST(Vst3Editor, ContentScaleTwoDoublesTheView)
{
    Vst3EditorSession s(2.0f);
    REQUIRE_SESSION(s);
    v3_view_rect rect = {};
    ASSERT_EQ(v3_cpp_obj(s.view())->get_size(s.view(), &rect), V3_OK);
    EXPECT_EQ(rect.right - rect.left, 768);
    EXPECT_EQ(rect.bottom - rect.top, 996);
    int w = 0, h = 0;
    ASSERT_TRUE(s.host().childSize(w, h));
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 996);

    // Redraw once after the resize (Xvfb's software GL keeps the first drawable size until
    // then), then the frame is the scale-1 picture at twice the resolution.
    s.host().moveTo(84.4 * 2, 88.4 * 2);
    s.pump(60);
    s.host().moveTo(192.0 * 2, 260.0 * 2);
    const RgbImage frame = s.settledFrame();
    ASSERT_EQ(frame.width, 768);
    const RgbImage reference = loadReferenceFrame();
    ASSERT_FALSE(reference.empty());
    const ImageDifference d = compareImages(halve(frame), reference);
    if (d.meanAbs > 4.0)
        savePpm(frame, dumpPath("vst3-scale2"));
    EXPECT_LT(d.meanAbs, 4.0) << "frame kept at " << dumpPath("vst3-scale2");
    EXPECT_GT(sharpness(frame), 0.55 * sharpness(reference));
}

} // namespace
