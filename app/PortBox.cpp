#include "PortBox.h"

#include "Latin1.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QPainter>
#include <QStyledItemDelegate>

namespace portbox {

namespace {

constexpr int kKeyRole = Qt::UserRole;
constexpr int kDescriptionRole = Qt::UserRole + 1;
constexpr int kAbsentRole = Qt::UserRole + 2;

class TPortDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static QString shown(const QModelIndex& index)
    {
        const QString description = index.data(kDescriptionRole).toString();
        if (!index.data(kAbsentRole).toBool())
            return description;
        return description.isEmpty() ? QString("not present") : description + ", not present";
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QString description = shown(index);
        if (description.isEmpty())
            return;
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QFontMetrics metrics(opt.font);
        QRect room = opt.rect.adjusted(6 + metrics.horizontalAdvance(opt.text) + metrics.horizontalAdvance("  "), 0, -4, 0);
        if (room.width() < metrics.horizontalAdvance("— …"))
            return;
        const bool selected = opt.state & QStyle::State_Selected;
        QColor grey = opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        grey.setAlpha(selected ? 170 : 120);
        painter->save();
        painter->setPen(grey);
        painter->setFont(opt.font);
        painter->drawText(room, Qt::AlignVCenter | Qt::AlignLeft,
                          metrics.elidedText("— " + description, Qt::ElideRight, room.width()));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QString description = shown(index);
        if (!description.isEmpty())
            size.rwidth() += QFontMetrics(option.font).horizontalAdvance("  — " + description) + 6;
        return size;
    }
};

void setData(QComboBox* box, int at, const std::string& key, const QString& description, const QString& tip,
             bool absent)
{
    box->setItemData(at, latin1(key), kKeyRole);
    box->setItemData(at, description, kDescriptionRole);
    box->setItemData(at, tip, Qt::ToolTipRole);
    box->setItemData(at, absent, kAbsentRole);
}

} // namespace

void install(QComboBox* box)
{
    box->view()->setItemDelegate(new TPortDelegate(box->view()));
}

void addPort(QComboBox* box, const TVaPortIdentity& port)
{
    box->addItem(latin1(port.name));
    // What sysfs tells (manufacturer, product) is UTF-8 text.
    const QString description = QString::fromStdString(port.description());
    const QString tip = (description.isEmpty() ? QString() : description + "\n") + QString::fromStdString(port.details());
    setData(box, box->count() - 1, port.key(), description, tip, false);
}

void insertAbsent(QComboBox* box, int index, const QString& name, const std::string& key, const QString& description)
{
    box->insertItem(index, name);
    setData(box, index, key, description, name + "\nnot present now", true);
}

std::string key(const QComboBox* box, int index)
{
    return bytes(box->itemData(index, kKeyRole).toString());
}

QString description(const QComboBox* box, int index)
{
    return box->itemData(index, kDescriptionRole).toString();
}

bool absent(const QComboBox* box, int index)
{
    return box->itemData(index, kAbsentRole).toBool();
}

int findKey(const QComboBox* box, const std::string& key)
{
    if (key.empty())
        return -1;
    for (int i = 1; i < box->count(); ++i)
        if (!absent(box, i) && portbox::key(box, i) == key)
            return i;
    return -1;
}

} // namespace portbox
