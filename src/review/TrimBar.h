#pragma once

#include "platform/av/MediaTime.h"
#include "review/PlayerPaneInputs.h"
#include "review/TrimBarLogic.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QPushButton;
class QToolButton;

namespace lumacast::av {
class FilmstripGenerator;
class Player;
} // namespace lumacast::av

namespace lumacast::review {

// The filmstrip under the review player: thumbnails of the take, the trim range between two
// yellow handles, the cut-off parts dimmed (the tail tinted red with a "Re-record" control when a
// tail can be recorded), the playhead, the trim times, and a play/pause button. Dragging a handle
// writes the trim bindings live; clicking or dragging on the strip scrubs inside the trim range;
// a 0.05 s observer follows the player and holds playback inside the trim range.
//
// Main thread only. The bar calls no application operation: edits go out through the bindings
// and actions of its inputs, and straight to the player. Thumbnails are made off the main thread
// (FilmstripGenerator). Without a player the bar draws and edits but neither seeks nor plays.
class TrimBar : public QWidget {
    Q_OBJECT
public:
    struct Inputs {
        double duration = 0; // seconds
        DoubleBinding trimStart;
        DoubleBinding trimEnd;
        QPointer<av::Player> player;
        std::optional<TrimHandle> selectedHandle;
        std::optional<double> parkedPlayhead;
        std::function<void()> onTrimChanged;
        std::function<void()> onBeginEdit;
        bool canRecordTail = false;
        std::function<void()> onRecordTail;
    };

    static const QColor trimYellow;
    static const QColor tailRed;

    explicit TrimBar(QWidget *parent = nullptr);
    ~TrimBar() override;

    // Called by the pane on every change of the review state; reacts to a changed player,
    // duration or trim values as the observer and thumbnails need.
    void setInputs(Inputs inputs);

    const TrimBarMetrics metrics;

    const QList<QImage> &thumbnails() const { return m_thumbnails; }
    double playheadFraction() const { return m_playheadFraction; }
    bool isPlaying() const { return m_isPlaying; }
    // The strip in widget coordinates.
    QRect stripRect() const;
    // A handle's rectangle in widget coordinates and the time it marks (seconds). The handles
    // are painted, not widgets: TrimBarAccessible shows them to assistive tools through these.
    QRect handleRect(TrimHandle handle) const;
    double handleTime(TrimHandle handle) const;
    double duration() const { return m_inputs.duration; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void thumbnailsChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    double trimStartValue() const { return m_inputs.trimStart.value(); }
    double trimEndValue() const { return m_inputs.trimEnd.value(); }
    TrimStripGeometry geometryFor(double width) const;
    void seek(double seconds);

    void installTimeObserver();
    void uninstallTimeObserver();
    void observerTick(const av::MediaTime &time, double capturedTrimEnd);
    void handleDragChanged(TrimHandle handle, double x);
    void handleDragEnded();
    void scrubChanged(double x);
    void togglePlayPause();
    void startThumbnails();
    void updateControls();

    void paintStrip(QPainter &painter, const QRectF &strip, const TrimStripGeometry &g);
    void paintHandle(QPainter &painter, double centre, double height, bool active);
    void paintLabels(QPainter &painter, const QRectF &top, const QRectF &bottom);
    void paintTag(QPainter &painter, const QRectF &strip);

    Inputs m_inputs;
    double m_lastDuration = 0, m_lastTrimStart = 0, m_lastTrimEnd = 0;

    double m_playheadFraction = 0;
    bool m_isPlaying = false;
    bool m_isScrubbing = false;
    double m_scrubX = 0;
    double m_scrubTime = 0;
    bool m_isDraggingHandle = false;
    std::optional<TrimHandle> m_draggingHandle;
    std::optional<double> m_dragParkedPlayhead;
    double m_handleDragX = 0;
    double m_handleDragTime = 0;
    std::optional<int> m_timeObserver;
    QPointer<av::Player> m_observerPlayer;
    QList<QImage> m_thumbnails;

    // Mouse press bookkeeping: a press on a handle becomes a drag after 10 points.
    std::optional<TrimHandle> m_pressedHandle;
    QPointF m_pressPosition;
    bool m_pressScrubs = false;

    std::unique_ptr<av::FilmstripGenerator> m_filmstrip;
    std::optional<QString> m_thumbnailKey; // the movie of the thumbnails shown or being made
    bool m_thumbnailsComplete = false;     // its run went through every picture

    QToolButton *m_playButton = nullptr;
    QPushButton *m_tailButton = nullptr;
};

} // namespace lumacast::review
