#include "DistrhoUI.hpp"

#include "EditorImages.h"
#include "KnobLayout.h"

START_NAMESPACE_DISTRHO

static constexpr const char* kFontName = "__dpf_dejavusans_ttf__";

// 320 image pixels cover 2.5526 knob radii, so the painted body (125.4 px) lands on the radius.
static constexpr float kKnobImageHalf = 1.2763f;

class MarvixUI : public UI
{
public:
    MarvixUI()
        : UI(DISTRHO_UI_DEFAULT_WIDTH, DISTRHO_UI_DEFAULT_HEIGHT, false),
          fValues { kParameterSpecs[0].def, kParameterSpecs[1].def, kParameterSpecs[2].def,
                    kParameterSpecs[3].def, kParameterSpecs[4].def, kParameterSpecs[5].def },
          fScale(usableScale(getScaleFactor())),
          fFont(-1),
          fDragKnob(-1),
          fHoverKnob(-1),
          fLastClickKnob(-1),
          fLastClickTime(0),
          fDragStartY(0.0f),
          fDragStartValue(0.0f)
    {
        loadSharedResources();
        fFont = findFont(kFontName);

        fBackground = createImageFromMemory(KorvaneImages::kBackgroundPng,
                                            static_cast<uint>(KorvaneImages::kBackgroundPngSize),
                                            IMAGE_GENERATE_MIPMAPS);
        fKnobImage = createImageFromMemory(KorvaneImages::kKnobPng,
                                           static_cast<uint>(KorvaneImages::kKnobPngSize),
                                           IMAGE_GENERATE_MIPMAPS);

        const uint width = scaledSize(fScale, kDesignWidth);
        const uint height = scaledSize(fScale, kDesignHeight);
        // The size is already scaled and the drawing scales itself by fScale. DPF's automatic
        // scaling would multiply the scale in a second time (a 1536 x 1992 window at scale 2),
        // so it stays off; the minimum size and the aspect ratio still hold.
        setGeometryConstraints(width, height, true, false);
        setSize(width, height);
    }

    // A host may close the editor mid-drag; the release never comes, so the gesture is closed
    // here or the host keeps the parameter touched. Members are destroyed in reverse order:
    // the knob image first, then the background.
    ~MarvixUI() override
    {
        endDrag();
    }

    static int knobAt(float x, float y)
    {
        return knobIndexAt(x, y);
    }

protected:
    void parameterChanged(uint32_t index, float value) override
    {
        if (index >= kParamCount)
            return;
        fValues[index] = heldPlain(static_cast<int32_t>(index), value, fValues[index]);
        repaint();
    }

    // DPF tells the editor nothing of pointer crossings or of a lost grab, only of the focus
    // (the platform's, or a VST3 host's view focus). Losing it for good (the host window
    // deactivated or hidden) may take the release with it; a keyboard grab (a host shortcut,
    // a menu) only borrows it and leaves the drag alone. A pointer that leaves the window
    // changes no focus and keeps its drag while the button is held.
    void uiFocus(bool focus, CrossingMode mode) override
    {
        if (! focus && mode != kCrossingGrab && endDrag())
            repaint();
    }

#if DISTRHO_PLUGIN_WANT_STATE
    // The plug-in declares no states (DPF only wants the flag for its CLAP state extension),
    // but with the flag on DPF makes this pure.
    void stateChanged(const char*, const char*) override {}
#endif

    void onNanoDisplay() override
    {
        scale(fScale, fScale);

        beginPath();
        rect(0.0f, 0.0f, kDesignWidth, kDesignHeight);
        if (fBackground.isValid())
            fillPaint(imagePattern(0.0f, 0.0f, kDesignWidth, kDesignHeight, 0.0f, fBackground, 1.0f));
        else
            fillColor(Color(200, 160, 40, 1.0f));
        fill();

        for (int k = 0; k < kKnobCount; ++k)
        {
            const int32_t p = kKnobs[k].parameter;
            const float cx = kKnobX[k];
            const float cy = kKnobY[k];
            const float r = kKnobRadius[k];
            const float v = normalizedFromPlain(p, fValues[p]);

            const float sx = cx + 0.14f * r;
            const float sy = cy + 0.34f * r;
            beginPath();
            circle(sx, sy, 1.4f * r);
            fillPaint(radialGradient(sx, sy, 0.8f * r, 1.4f * r,
                                     Color(0, 0, 0, 0.6f), Color(0, 0, 0, 0.0f)));
            fill();

            if (fKnobImage.isValid())
            {
                const float h = kKnobImageHalf * r;
                const float w = h + h;
                save();
                translate(cx, cy);
                rotate(knobAngle(v));
                beginPath();
                rect(-h, -h, w, w);
                fillPaint(imagePattern(-h, -h, w, w, 0.0f, fKnobImage, 1.0f));
                fill();
                restore();
            }
        }

        drawValueReadout();
    }

    void drawValueReadout()
    {
        const int32_t k = fDragKnob >= 0 ? fDragKnob : fHoverKnob;
        if (k < 0)
            return;

        char buffer[kReadoutSize];
        formatReadout(buffer, sizeof(buffer), k, fValues);

        beginPath();
        roundedRect(140.0f, 453.0f, 104.0f, 22.0f, 4.0f);
        fillColor(Color(12, 12, 12, 0.8f));
        fill();

        fontFaceId(fFont);
        fontSize(13.0f);
        textAlign(ALIGN_CENTER | ALIGN_MIDDLE);
        fillColor(Color(240, 236, 220, 1.0f));
        text(192.0f, 464.0f, buffer, nullptr);
    }

    bool onMouse(const MouseEvent& ev) override
    {
        if (ev.button != 1)
            return false;

        const float x = static_cast<float>(ev.pos.getX()) / fScale;
        const float y = static_cast<float>(ev.pos.getY()) / fScale;

        if (! ev.press)
        {
            if (! endDrag())
                return false;
            repaint();
            return true;
        }

        // A press while a drag is still open (the pointer capture was lost): close that
        // gesture first, so the host never sees two open at once.
        if (endDrag())
            repaint();

        const int k = knobAt(x, y);

        if (k != -1)
        {
            const int32_t p = kKnobs[k].parameter;
            const bool doubleClick = isDoubleClick(fLastClickKnob, fLastClickTime, k, ev.time);
            fLastClickKnob = k;
            fLastClickTime = ev.time;
            editParameter(static_cast<uint32_t>(p), true);

            if (doubleClick)
                setParameterNormalized(p, defaultNormalized(p));

            fDragStartY = y;
            fDragKnob = k;
            fDragStartValue = editStartNormalized(p, fValues[p]);
            repaint();
            return true;
        }

        if (footswitchHit(x, y))
        {
            editParameter(kParamBypass, true);
            fValues[kParamBypass] = fValues[kParamBypass] > 0.5f ? 0.0f : 1.0f;
            setParameterValue(kParamBypass, fValues[kParamBypass]);
            editParameter(kParamBypass, false);
            repaint();
            return true;
        }

        return false;
    }

    bool onMotion(const MotionEvent& ev) override
    {
        const float x = static_cast<float>(ev.pos.getX()) / fScale;
        const float y = static_cast<float>(ev.pos.getY()) / fScale;

        if (fDragKnob != -1)
        {
            const bool fine = (ev.mod & kModifierShift) != 0;
            setParameterNormalized(kKnobs[fDragKnob].parameter,
                                   dragNormalized(fDragStartY, fDragStartValue, y, fine));
            return true;
        }

        const int k = knobAt(x, y);
        if (k != fHoverKnob)
        {
            fHoverKnob = k;
            repaint();
        }
        return false;
    }

    bool onScroll(const ScrollEvent& ev) override
    {
        const float x = static_cast<float>(ev.pos.getX()) / fScale;
        const float y = static_cast<float>(ev.pos.getY()) / fScale;
        const int k = knobAt(x, y);
        if (k == -1)
            return false;

        const int32_t p = kKnobs[k].parameter;
        editParameter(static_cast<uint32_t>(p), true);
        setParameterNormalized(p, wheelNormalized(static_cast<float>(ev.delta.getY()),
                                                  editStartNormalized(p, fValues[p])));
        editParameter(static_cast<uint32_t>(p), false);
        return true;
    }

    void setParameterNormalized(int32_t index, float normalized)
    {
        const float v = plainFromNormalized(index, normalized);
        fValues[index] = v;
        setParameterValue(static_cast<uint32_t>(index), v);
        repaint();
    }

    // Closes the drag's gesture; false when no drag was open.
    bool endDrag()
    {
        if (fDragKnob == -1)
            return false;
        editParameter(static_cast<uint32_t>(kKnobs[fDragKnob].parameter), false);
        fDragKnob = -1;
        return true;
    }

private:
    float fValues[kParamCount];
    float fScale;
    int fFont;
    NanoImage fBackground;
    NanoImage fKnobImage;
    int32_t fDragKnob;
    int32_t fHoverKnob;
    int32_t fLastClickKnob;
    uint32_t fLastClickTime;
    float fDragStartY;
    float fDragStartValue;

    DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MarvixUI)
};

UI* createUI()
{
    return new MarvixUI();
}

END_NAMESPACE_DISTRHO
