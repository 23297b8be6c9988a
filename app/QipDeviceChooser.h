#pragma once

#include <QComboBox>

// The device chooser: a drop-down whose closed face cuts a text too long for it in the
// middle, where device texts of one network are most alike at neither end ("<id> - <type> -
// SSID:..." differ in the id at the start and often in the SSID at the end). Its open list
// is as wide as the widest entry, up to the screen, and elides in the middle too; the whole
// text of the current entry is its tooltip, and screen readers get the whole text as its
// value. Main thread only.
class QipDeviceChooser : public QComboBox {
    Q_OBJECT
public:
    explicit QipDeviceChooser(QWidget* parent = nullptr);

    void showPopup() override;
    // `text` cut in the middle to `width` pixels of `metrics`; as it is when it fits. Pure.
    static QString Elided(const QString& text, const QFontMetrics& metrics, int width);

protected:
    void paintEvent(QPaintEvent* event) override;
};
