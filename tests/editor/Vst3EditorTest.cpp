// The editor opened through the VST3 module as a Linux host opens it: the edit controller's
// view attached to an X window of the host, with the host's run loop (timers and file
// descriptors) offered through the plug-in frame.

#include "Vst3Host.hpp"
#include "X11Harness.h"

#include "travesty/view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

namespace {

const std::string kModulePath = std::string(KORVANE_BINARY_DIR) + "/bin/Korvane.vst3";

bool sameTuid(const v3_tuid a, const v3_tuid b)
{
    return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

// What the controller passed on to the host's component handler, in order.
struct HostEdit {
    enum Kind { Begin, Value, End } kind;
    v3_param_id id;
    double normalized;
};

struct ComponentHandlerVtbl : v3_funknown {
    v3_component_handler handler;
};

// The host side of the view: its frame (resize requests), its run loop, and the controller's
// component handler.
struct HostFrame;

// What the plug-in holds: the address of a vtable pointer, with the owner right behind it.
struct FrameRef {
    void* vtable;
    HostFrame* owner;
};

struct HostFrame {
    v3_plugin_frame_cpp frame;
    v3_run_loop_cpp loop;
    ComponentHandlerVtbl edits;
    FrameRef frameRef;
    FrameRef loopRef;
    FrameRef editsRef;
    HostWindow* window;
    std::vector<v3_timer_handler**> timers;
    std::vector<std::pair<v3_event_handler**, int>> handlers;
    std::vector<HostEdit> received;

    explicit HostFrame(HostWindow* w)
        : frame(), loop(), edits(), frameRef { &frame, this }, loopRef { &loop, this },
          editsRef { &edits, this }, window(w)
    {
        edits.query_interface = queryInterface;
        edits.ref = edits.unref = noRef;
        edits.handler.begin_edit = beginEdit;
        edits.handler.perform_edit = performEdit;
        edits.handler.end_edit = endEdit;
        edits.handler.restart_component = restartComponent;
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
    v3_component_handler** componentHandler() { return reinterpret_cast<v3_component_handler**>(&editsRef); }

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
        if (sameTuid(iid, v3_component_handler_iid))
        {
            *obj = &f->editsRef;
            return V3_OK;
        }
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
    static uint32_t V3_API noRef(void*) { return 1; }

    static v3_result V3_API beginEdit(void* self, v3_param_id id)
    {
        of(self)->received.push_back({ HostEdit::Begin, id, 0.0 });
        return V3_OK;
    }
    static v3_result V3_API performEdit(void* self, v3_param_id id, double normalized)
    {
        of(self)->received.push_back({ HostEdit::Value, id, normalized });
        return V3_OK;
    }
    static v3_result V3_API endEdit(void* self, v3_param_id id)
    {
        of(self)->received.push_back({ HostEdit::End, id, 0.0 });
        return V3_OK;
    }
    static v3_result V3_API restartComponent(void*, int32_t) { return V3_OK; }

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
        v3_cpp_obj(fController)->set_component_handler(fController, fFrame.componentHandler());
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
        // Up once the editor's window shows and its drawing has settled.
        settledFrame();
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
            v3_cpp_obj(fController)->set_component_handler(fController, nullptr);
            v3_cpp_obj_terminate(fController);
            v3_cpp_obj_unref(fController);
        }
    }

    v3_plugin_view** view() const { return fView; }

    // As a host closes the editor: removed, then its last reference released.
    void closeView()
    {
        if (fView == nullptr)
            return;
        if (fAttached)
            v3_cpp_obj(fView)->removed(fView);
        fAttached = false;
        v3_cpp_obj_unref(fView);
        fView = nullptr;
    }

    // What the controller has passed on to the host so far.
    const std::vector<HostEdit>& edits() const { return fFrame.received; }
    // The host's run loop until `done` holds for what the host has received, at most 5 s.
    bool waitFor(const std::function<bool(const std::vector<HostEdit>&)>& done)
    {
        return pumpUntil(fHost, [&] { return done(fFrame.received); }, [this] { fFrame.tick(); });
    }
    RgbImage settledFrame() { return settledCapture(fHost, [this] { fFrame.tick(); }); }
    RgbImage changedFrame(const RgbImage& before) { return changedCapture(fHost, before, [this] { fFrame.tick(); }); }

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
    const RgbImage before = s.settledFrame();
    s.host().moveTo(84.4 * 2, 88.4 * 2);
    const RgbImage hovered = s.changedFrame(before);
    s.host().moveTo(192.0 * 2, 260.0 * 2);
    const RgbImage frame = s.changedFrame(hovered);
    ASSERT_EQ(frame.width, 768);
    const RgbImage reference = loadReferenceFrame();
    ASSERT_FALSE(reference.empty());
    const ImageDifference d = compareImages(halve(frame), reference);
    if (d.meanAbs > 4.0)
        savePpm(frame, dumpPath("vst3-scale2"));
    EXPECT_LT(d.meanAbs, 4.0) << "frame kept at " << dumpPath("vst3-scale2");
    EXPECT_GT(sharpness(frame), 0.55 * sharpness(reference));
}

bool hasValue(const std::vector<HostEdit>& e)
{
    return std::any_of(e.begin(), e.end(), [](const HostEdit& x) { return x.kind == HostEdit::Value; });
}

// Begin, one or more values, end, all of one parameter.
void expectOneGesture(const std::vector<HostEdit>& ev)
{
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev.front().kind, HostEdit::Begin);
    EXPECT_EQ(ev.back().kind, HostEdit::End);
    for (size_t i = 1; i + 1 < ev.size(); ++i)
        EXPECT_EQ(ev[i].kind, HostEdit::Value);
    for (const HostEdit& e : ev)
        EXPECT_EQ(e.id, ev.front().id);
}

// Presses on the Dist knob and drags 20 units down (1.0 to 0.9), the button held.
void dragDistDown(Vst3EditorSession& s)
{
    s.host().moveTo(193.4, 88.4);
    s.host().press(1);
    s.host().moveTo(193.4, 108.4);
    ASSERT_TRUE(s.waitFor(hasValue)) << "the drag sent no value";
}

TEST(Vst3Editor, LosingTheFocusMidDragEndsTheGesture)
{
    // Dist from 1.0 down by 20 units, then the host tells the view it lost the focus while the
    // button is still down.
    Vst3EditorSession s;
    REQUIRE_SESSION(s);
    ASSERT_NO_FATAL_FAILURE(dragDistDown(s));
    v3_cpp_obj(s.view())->on_focus(s.view(), false);
    const std::vector<HostEdit> ev = s.edits();
    ASSERT_NO_FATAL_FAILURE(expectOneGesture(ev));
    EXPECT_NEAR(ev[ev.size() - 2].normalized, 0.9, 1e-6);

    // The drag is over: moving and releasing send nothing, a wheel notch's gesture comes next.
    s.host().moveTo(193.4, 128.4);
    s.host().release(1);
    s.host().moveTo(302.8, 88.4);
    s.host().click(4);
    ASSERT_TRUE(s.waitFor([&](const std::vector<HostEdit>& e) { return e.size() > ev.size() && e.back().kind == HostEdit::End; }));
    const std::vector<HostEdit> after(s.edits().begin() + static_cast<std::ptrdiff_t>(ev.size()), s.edits().end());
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[0].id, ev.front().id);
    EXPECT_NEAR(after[1].normalized, 0.52, 1e-6);
}

TEST(Vst3Editor, ClosingTheViewMidDragEndsTheGesture)
{
    // Dist from 1.0 down by 20 units: 0.9; the host closes the view before the release. The
    // editor ends the gesture while it is destroyed, which must still reach the host.
    Vst3EditorSession s;
    REQUIRE_SESSION(s);
    ASSERT_NO_FATAL_FAILURE(dragDistDown(s));
    testing::internal::CaptureStderr();
    s.closeView();
    const std::string printed = testing::internal::GetCapturedStderr();
    s.host().release(1);
    EXPECT_EQ(printed, "");
    const std::vector<HostEdit> ev = s.edits();
    ASSERT_NO_FATAL_FAILURE(expectOneGesture(ev));
    EXPECT_NEAR(ev[ev.size() - 2].normalized, 0.9, 1e-6);
}

} // namespace
