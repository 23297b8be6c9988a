#include "app/QipDeviceChooser.h"

#include <QAbstractItemView>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QStylePainter>

QipDeviceChooser::QipDeviceChooser(QWidget* parent) : QComboBox(parent) {
    view()->setTextElideMode(Qt::ElideMiddle);
    connect(this, &QComboBox::currentIndexChanged, this, [this] { setToolTip(currentText()); });
}

QString QipDeviceChooser::Elided(const QString& text, const QFontMetrics& metrics, int width) {
    return metrics.elidedText(text, Qt::ElideMiddle, width);
}

void QipDeviceChooser::showPopup() {
    int widest = 0;
    for (int i = 0; i < count(); ++i) {
        widest = qMax(widest, view()->fontMetrics().horizontalAdvance(itemText(i)));
    }
    // Room for the frame, the item margins and a scroll bar.
    int wanted = widest + 4 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) +
                 style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this) + 24;
    if (const QScreen* shown = screen()) {
        wanted = qMin(wanted, shown->availableGeometry().width() - 16);
    }
    view()->setMinimumWidth(qMax(wanted, width()));
    QComboBox::showPopup();
}

void QipDeviceChooser::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    // The style cuts at the end; cut in the middle first so that it has nothing left to cut.
    option.currentText = Elided(option.currentText, fontMetrics(), field.width() - 4);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
