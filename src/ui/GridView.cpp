#include "ui/GridView.h"

#include <QApplication>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include "ui/StatusLook.h"

namespace pm::ui {

namespace {

QColor mix(const QColor& a, const QColor& b, double share) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * share + b.redF() * (1 - share)),
                            static_cast<float>(a.greenF() * share + b.greenF() * (1 - share)),
                            static_cast<float>(a.blueF() * share + b.blueF() * (1 - share)));
}

class GridDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        // The style draws the row (selection, focus, alternate colour); the
        // text is drawn here, in pieces.
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const bool selected = (opt.state & QStyle::State_Selected) != 0;
        const QPalette::ColorGroup group = (opt.state & QStyle::State_Enabled) == 0  ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active) != 0 ? QPalette::Active
                                                                                     : QPalette::Inactive;
        const QColor base = opt.palette.color(group, (opt.features & QStyleOptionViewItem::Alternate) != 0
                                                         ? QPalette::AlternateBase
                                                         : QPalette::Base);
        const QColor text = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        const QColor faint = mix(text, selected ? opt.palette.color(group, QPalette::Highlight) : base, 0.6);
        const bool notSent = index.data(kGridNotSentRole).toBool();

        const QRect area =
            style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget).adjusted(2, 0, -2, 0);
        const QFontMetrics metrics(opt.font);
        painter->save();
        painter->setClipRect(area);
        painter->setFont(opt.font);
        int x = area.left();
        const auto draw = [&](const QString& piece, const QColor& colour,
                              const std::optional<QColor>& backing) {
            const int width = metrics.horizontalAdvance(piece);
            if (backing) {
                painter->fillRect(QRect(x - 1, area.top() + 1, width + 2, area.height() - 2), *backing);
            }
            painter->setPen(colour);
            painter->drawText(QRect(x, area.top(), width + 1, area.height()),
                              Qt::AlignLeft | Qt::AlignVCenter, piece);
            x += width;
        };

        // Room for the widest place number, so that the names line up.
        const int numberWidth = metrics.horizontalAdvance(QStringLiteral("48."));
        const QString number = QString::number(index.data(kGridPlaceRole).toInt()) + QLatin1Char('.');
        painter->setPen(notSent ? faint : text);
        painter->drawText(QRect(x, area.top(), numberWidth, area.height()), Qt::AlignRight | Qt::AlignVCenter,
                          number);
        x += numberWidth + metrics.horizontalAdvance(QLatin1Char(' '));

        const QString user = index.data(kGridUserRole).toString();
        const std::string nickname = index.data(kGridNicknameRole).toString().toStdString();
        const auto runs = nicknameRuns(nickname);
        if (runs.empty()) {
            draw(user, notSent ? faint : text, std::nullopt);
        } else {
            for (const NickRun& run : runs) {
                // Selected or not sent, the row reads as one: its colours
                // would fight the highlight, or say the place still counts.
                if (selected || notSent) {
                    draw(run.text, notSent ? faint : text, std::nullopt);
                } else {
                    const RunLook look = runLook(run.code, base, text);
                    draw(run.text, look.text, look.backing);
                }
            }
            draw(QStringLiteral("  ") + user, faint, std::nullopt);
        }
        if (const QString note = index.data(kGridNoteRole).toString(); !note.isEmpty()) {
            QFont italic = opt.font;
            italic.setItalic(true);
            painter->setFont(italic);
            painter->setPen(faint);
            const QString piece = QStringLiteral("  ") + note;
            painter->drawText(QRect(x, area.top(), area.right() - x, area.height()),
                              Qt::AlignLeft | Qt::AlignVCenter, piece);
        }
        painter->restore();
    }
};

QString plainLine(const app::GridPlace& place, const QString& note) {
    const std::string nick = app::withoutColours(place.nickname);
    QString line = QString::number(place.place) + QStringLiteral(". ");
    if (nick.empty()) {
        line += QString::fromStdString(place.user);
    } else {
        line += QString::fromStdString(nick) + QStringLiteral(" (") + QString::fromStdString(place.user) +
                QLatin1Char(')');
    }
    if (!note.isEmpty()) {
        line += QStringLiteral(", ") + note;
    }
    return line;
}

} // namespace

GridList::GridList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new GridDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setAlternatingRowColors(true);
    // A drag within the list moves a driver; Qt moves the row at once, and
    // the move is then handed on and the grid drawn again from the model,
    // which may have refused it.
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::InternalMove);
    setDefaultDropAction(Qt::MoveAction);
    connect(model(), &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int start, int, const QModelIndex&, int row) {
                // row is where it goes in the list as it was, before the
                // moved row left it.
                const int to = row > start ? row - 1 : row;
                if (to == start) {
                    return;
                }
                // Later: the drop is still going on, and redrawing the list
                // now would pull the rows from under it.
                QMetaObject::invokeMethod(
                    this,
                    [this, start, to] {
                        if (onMoved) {
                            onMoved(start, to);
                        }
                    },
                    Qt::QueuedConnection);
            });
}

void GridList::showGrid(const app::NextGrid& grid) {
    const QString keep = selectedUser();
    const int scrolled = verticalScrollBar()->value();
    {
        const QSignalBlocker quiet(this);
        clear();
        int row = -1;
        for (const app::GridPlace& place : grid.places) {
            QString note;
            const bool notSent = grid.slots > 0 && place.place > grid.slots;
            if (notSent) {
                note = QStringLiteral("not sent: the host takes %1").arg(grid.slots);
            } else if (place.player == 0) {
                note = QStringLiteral("not on the track");
            }
            auto* item = new QListWidgetItem(plainLine(place, note));
            const QString user = QString::fromStdString(place.user);
            item->setData(kGridUserRole, user);
            item->setData(kGridNicknameRole, QString::fromStdString(place.nickname));
            item->setData(kGridPlaceRole, place.place);
            item->setData(kGridNoteRole, note);
            item->setData(kGridNotSentRole, notSent);
            item->setToolTip(item->text());
            addItem(item);
            if (user == keep) {
                row = count() - 1;
            }
        }
        setCurrentRow(row);
    }
    verticalScrollBar()->setValue(scrolled);
    Q_EMIT itemSelectionChanged();
}

QString GridList::selectedUser() const {
    const QList<QListWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? QString() : selected.front()->data(kGridUserRole).toString();
}

} // namespace pm::ui
