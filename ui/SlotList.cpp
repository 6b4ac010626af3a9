#include "SlotList.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>

namespace {

constexpr QColor GridColour{160, 160, 160};
constexpr int ButtonWidth = 100;
constexpr int ButtonHeight = 25;

} // namespace

TSlotList::TSlotList(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    auto makeButton = [this](const char* text) {
        auto* b = new QPushButton(tr(text), viewport());
        b->setFixedSize(ButtonWidth, ButtonHeight);
        b->hide();
        return b;
    };
    FSettings = makeButton("Settings...");
    FStart = makeButton("Start");
    FStop = makeButton("Stop");
    connect(FSettings, &QPushButton::clicked, this, &TSlotList::SettingsRequested);
    connect(FStart, &QPushButton::clicked, this, &TSlotList::StartRequested);
    connect(FStop, &QPushButton::clicked, this, &TSlotList::StopRequested);
    FPopup = new QMenu(this);
    FPopup->addAction(tr("Open Output Folder"), this, &TSlotList::OpenFolderRequested);
}

void TSlotList::SetRowCount(int count) {
    FHeights.assign(static_cast<std::size_t>(std::max(count, 0)), DefaultRowHeight);
    FFocused = -1;
    UpdateScrollRange();
    PlaceSlotButtons();
    viewport()->update();
}

int TSlotList::ContentHeight() const {
    int h = 0;
    for (int height : FHeights) {
        h += height;
    }
    return h;
}

QRect TSlotList::RowRect(int row) const {
    int top = -verticalScrollBar()->value();
    for (int i = 0; i < row; ++i) {
        top += FHeights[static_cast<std::size_t>(i)];
    }
    return QRect(0, top, viewport()->width(), FHeights.at(static_cast<std::size_t>(row)));
}

int TSlotList::RowAt(int y) const {
    int top = -verticalScrollBar()->value();
    for (int i = 0; i < RowCount(); ++i) {
        const int bottom = top + FHeights[static_cast<std::size_t>(i)];
        if (y >= top && y < bottom) {
            return i;
        }
        top = bottom;
    }
    return -1;
}

bool TSlotList::Highlighted(int row) const { return row >= 0 && row == FFocused && hasFocus(); }

void TSlotList::SetFocusedRow(int row) {
    if (row < -1 || row >= RowCount()) {
        row = -1;
    }
    if (row == FFocused) {
        return;
    }
    // The row that loses the focus shrinks back, the one that gains it grows.
    if (FFocused >= 0) {
        FHeights[static_cast<std::size_t>(FFocused)] = DefaultRowHeight;
    }
    if (row >= 0) {
        FHeights[static_cast<std::size_t>(row)] = FocusedRowHeight;
    }
    FFocused = row;
    UpdateScrollRange();
    if (row >= 0) {
        ScrollTo(row);
    }
    viewport()->update();
    if (OnFocusChanged) {
        OnFocusChanged();
    }
    PlaceSlotButtons();
}

void TSlotList::PlaceSlotButtons() {
    if (FFocused < 0) {
        FSettings->hide();
        FStart->hide();
        FStop->hide();
        return;
    }
    const QRect r = RowRect(FFocused);
    const int top = r.top() + r.height() - 30;
    const int right = r.left() + r.width();
    FSettings->move(r.left() + 58, top);
    FStart->move(right - 208, top);
    FStop->move(right - 104, top);
    FSettings->show();
    FStart->show();
    FStop->show();
}

void TSlotList::InvalidateRows() { viewport()->update(); }

void TSlotList::UpdateScrollRange() {
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(DefaultRowHeight / 2);
    verticalScrollBar()->setRange(0, std::max(0, ContentHeight() - viewport()->height()));
}

void TSlotList::ScrollTo(int row) {
    const QRect r = RowRect(row);
    QScrollBar* bar = verticalScrollBar();
    if (r.top() < 0) {
        bar->setValue(bar->value() + r.top());
    } else if (r.top() + r.height() > viewport()->height()) {
        bar->setValue(bar->value() + r.top() + r.height() - viewport()->height());
    }
}

void TSlotList::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QPalette pal = palette();
    for (int row = 0; row < RowCount(); ++row) {
        const QRect r = RowRect(row);
        if (r.top() + r.height() <= 0 || r.top() >= viewport()->height()) {
            continue;
        }
        const bool highlighted = Highlighted(row);
        if (highlighted) {
            p.fillRect(r, pal.color(QPalette::Active, QPalette::Highlight));
        } else if (row == FFocused) {
            // Selected while the list has no focus: the toolkit's inactive selection.
            p.fillRect(r, pal.color(QPalette::Inactive, QPalette::Highlight).lighter(170));
        }
        p.setPen(GridColour);
        p.drawLine(r.left(), r.top() + r.height() - 1, r.left() + r.width() - 1, r.top() + r.height() - 1);
        if (DrawRow) {
            p.save();
            DrawRow(p, row, r, highlighted);
            p.restore();
        }
    }
}

void TSlotList::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    const int row = RowAt(event->position().toPoint().y());
    if (row >= 0) {
        SetFocusedRow(row);
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void TSlotList::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && FFocused >= 0 && RowAt(event->position().toPoint().y()) >= 0) {
        Q_EMIT SettingsRequested();
        return;
    }
    QAbstractScrollArea::mouseDoubleClickEvent(event);
}

void TSlotList::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        if (FFocused >= 0) {
            SetFocusedRow(-1);
            return;
        }
        break;
    case Qt::Key_Down:
        if (RowCount() > 0) {
            SetFocusedRow(FFocused < 0 ? 0 : std::min(FFocused + 1, RowCount() - 1));
        }
        return;
    case Qt::Key_Up:
        if (RowCount() > 0) {
            SetFocusedRow(FFocused < 0 ? 0 : std::max(FFocused - 1, 0));
        }
        return;
    case Qt::Key_Home:
        if (RowCount() > 0) {
            SetFocusedRow(0);
        }
        return;
    case Qt::Key_End:
        if (RowCount() > 0) {
            SetFocusedRow(RowCount() - 1);
        }
        return;
    default:
        break;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void TSlotList::contextMenuEvent(QContextMenuEvent* event) { FPopup->popup(event->globalPos()); }

void TSlotList::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
    PlaceSlotButtons();
}

void TSlotList::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TSlotList::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TSlotList::scrollContentsBy(int, int) {
    viewport()->update();
    PlaceSlotButtons();
}
