#pragma once

#include <QAbstractScrollArea>

#include <functional>
#include <vector>

class QPushButton;
class QMenu;

// The owner-drawn slot list: one row per slot, 70 pixels high, the focused row
// 100 with the buttons "Settings...", "Start" and "Stop" at its bottom. Esc
// leaves the list without a focused row. What a row shows is painted by the
// owner through DrawRow.
class TSlotList : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int DefaultRowHeight = 70;
    static constexpr int FocusedRowHeight = 100;

    explicit TSlotList(QWidget* parent = nullptr);

    void SetRowCount(int count);
    int RowCount() const { return static_cast<int>(FHeights.size()); }
    int RowHeight(int row) const { return FHeights.at(static_cast<std::size_t>(row)); }
    // The row's rectangle in the viewport's coordinates.
    QRect RowRect(int row) const;
    int RowAt(int y) const;

    // -1 when no row is focused.
    int FocusedRow() const { return FFocused; }
    void SetFocusedRow(int row);

    // Highlighted: the list has the keyboard focus and the row is the focused one.
    bool Highlighted(int row) const;

    // Invalidates every row so that it is painted again.
    void InvalidateRows();

    QPushButton* SettingsButton() const { return FSettings; }
    QPushButton* StartButton() const { return FStart; }
    QPushButton* StopButton() const { return FStop; }
    QMenu* PopupMenu() const { return FPopup; }

    // Paints one row (`rect` in viewport coordinates) with the painter already set up.
    std::function<void(QPainter& p, int row, const QRect& rect, bool highlighted)> DrawRow;
    // After the focus moved to another row (or to none).
    std::function<void()> OnFocusChanged;

Q_SIGNALS:
    void SettingsRequested();
    void StartRequested();
    void StopRequested();
    void OpenFolderRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

public:
    void PlaceSlotButtons();

private:
    int ContentHeight() const;
    void UpdateScrollRange();
    void ScrollTo(int row);

    std::vector<int> FHeights;
    int FFocused = -1;
    QPushButton* FSettings;
    QPushButton* FStart;
    QPushButton* FStop;
    QMenu* FPopup;
};
