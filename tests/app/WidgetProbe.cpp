// A toolkit plugin that the black-box test loads into the real program (through the
// toolkit's own QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS=qipprobe:<file>) to read what the
// window shows. Every 200 ms it rewrites <file> with one line per shown widget:
//   window <title>
//   label <object name> <1 when the text would be read as markup, else 0> <text>
//   picture <object name> <width>x<height> (a label that shows a picture)
//   progress <object name>
//   combo <object name> <item count>
//   item <text>
//   table <object name> <row count>
//   row <the row's cells as shown, joined by " | "> (in the order shown)
//   cut <row> <column> (after the rows: each cell whose text is cut, as its column is
//                        narrower than the cell's text needs)
//   hscroll <object name> (a table that shows its horizontal scroll bar)
//   button <object name> <1 when enabled, else 0> <text>
//   edit <object name> <text>
//   focus <object name of the widget with the keyboard focus>
// When <file>.press exists and names a button or a menu action, the probe clicks or triggers
// it once (from the event loop, so a modal box it opens does not stop the probe) and removes
// the file. When <file>.keys exists, each 200 ms its first line is typed into the widget that
// has the keyboard focus then, and taken off: a key by name ("F2", "Return") or "text ..."
// typed a character at a time.
#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGenericPlugin>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>

// What QTest's key clicks use to let the shortcut map see a key before the widget does.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                               const QString& text, bool autorep, ushort count);

namespace {

class WidgetProbe : public QObject {
public:
    explicit WidgetProbe(const QString& path) : mPath(path) {
        connect(&mTimer, &QTimer::timeout, this, [this] { Dump(); });
        mTimer.start(200);
    }

private:
    void Dump() {
        QFile press(mPath + ".press");
        if (press.open(QIODevice::ReadOnly)) {
            const QString name = QString::fromUtf8(press.readAll()).trimmed();
            press.close();
            press.remove();
            for (QWidget* widget : QApplication::allWidgets()) {
                if (auto* button = qobject_cast<QAbstractButton*>(widget);
                    button && button->objectName() == name && button->isVisible()) {
                    QTimer::singleShot(0, button, &QAbstractButton::click);
                }
                if (widget->isWindow()) {
                    for (QAction* action : widget->findChildren<QAction*>(name)) {
                        QTimer::singleShot(0, action, &QAction::trigger);
                    }
                }
            }
        }
        TypeNextKey();
        QStringList lines;
        for (QWidget* widget : QApplication::allWidgets()) {
            if (!widget->isVisible()) {
                continue;
            }
            if (widget->isWindow() && !widget->windowTitle().isEmpty()) {
                lines << "window " + widget->windowTitle();
            }
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                const bool markup = label->textFormat() == Qt::RichText ||
                                    (label->textFormat() == Qt::AutoText &&
                                     Qt::mightBeRichText(label->text()));
                lines << QString("label %1 %2 %3")
                             .arg(label->objectName(), markup ? "1" : "0", label->text());
                const QPixmap picture = label->pixmap();
                if (!picture.isNull()) {
                    lines << QString("picture %1 %2x%3")
                                 .arg(label->objectName())
                                 .arg(picture.width())
                                 .arg(picture.height());
                }
            } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
                lines << QString("edit %1 %2").arg(edit->objectName(), edit->text());
            } else if (qobject_cast<QProgressBar*>(widget)) {
                lines << "progress " + widget->objectName();
            } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                lines << QString("button %1 %2 %3")
                             .arg(button->objectName(), button->isEnabled() ? "1" : "0",
                                  button->text());
            } else if (auto* table = qobject_cast<QTableView*>(widget)) {
                const QAbstractItemModel* model = table->model();
                const int rows = model ? model->rowCount() : 0;
                lines << QString("table %1 %2").arg(table->objectName()).arg(rows);
                for (int row = 0; row < rows; ++row) {
                    QStringList cells;
                    for (int column = 0; column < model->columnCount(); ++column) {
                        cells << model->index(row, column).data().toString();
                    }
                    lines << "row " + cells.join(" | ");
                }
                for (int row = 0; row < rows; ++row) {
                    for (int column = 0; column < model->columnCount(); ++column) {
                        // The grid takes a pixel of the column; a hidden column shows nothing.
                        if (!table->isColumnHidden(column) &&
                            table->sizeHintForIndex(model->index(row, column)).width() +
                                (table->showGrid() ? 1 : 0) >
                            table->columnWidth(column)) {
                            lines << QString("cut %1 %2").arg(row).arg(column);
                        }
                    }
                }
                if (table->horizontalScrollBar()->isVisible()) {
                    lines << "hscroll " + table->objectName();
                }
            } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
                lines << QString("combo %1 %2").arg(combo->objectName()).arg(combo->count());
                for (int i = 0; i < combo->count(); ++i) {
                    lines << "item " + combo->itemText(i);
                }
            }
        }
        if (QWidget* focus = QApplication::focusWidget()) {
            lines << "focus " + focus->objectName();
        }
        QSaveFile file(mPath);
        if (file.open(QIODevice::WriteOnly)) {
            file.write((lines.join('\n') + '\n').toUtf8());
            file.commit();
        }
    }

    void TypeNextKey() {
        QFile keys(mPath + ".keys");
        if (!keys.exists()) {
            return;
        }
        if (QApplication::focusWidget() == nullptr) {
            // Keys go to the active window; without a window manager none is until asked.
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->isVisible() && widget->focusWidget() != nullptr) {
                    widget->activateWindow();
                }
            }
            return;
        }
        if (!keys.open(QIODevice::ReadOnly)) {
            return;
        }
        QStringList lines = QString::fromUtf8(keys.readAll()).split('\n', Qt::SkipEmptyParts);
        keys.close();
        if (lines.isEmpty()) {
            keys.remove();
            return;
        }
        const QString line = lines.takeFirst();
        if (lines.isEmpty()) {
            keys.remove();
        } else if (keys.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            keys.write((lines.join('\n') + '\n').toUtf8());
            keys.close();
        }
        QWidget* focus = QApplication::focusWidget();
        if (focus == nullptr) {
            return;
        }
        const auto type = [focus](int key, const QString& text) {
            if (qt_sendShortcutOverrideEvent(focus, 0, key, Qt::NoModifier, text, false, 1)) {
                return;
            }
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
            QApplication::sendEvent(focus, &press);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
            QApplication::sendEvent(focus, &release);
        };
        if (line.startsWith("text ")) {
            for (const QChar c : line.mid(5)) {
                type(0, QString(c));
            }
        } else if (line == "F2") {
            type(Qt::Key_F2, QString());
        } else if (line == "Return") {
            type(Qt::Key_Return, "\r");
        }
    }

    QString mPath;
    QTimer mTimer;
};

}  // namespace

class WidgetProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QGenericPluginFactoryInterface" FILE "WidgetProbe.json")
public:
    QObject* create(const QString& key, const QString& reportPath) override {
        if (key.compare("qipprobe", Qt::CaseInsensitive) != 0 || reportPath.isEmpty()) {
            return nullptr;
        }
        return new WidgetProbe(reportPath);
    }
};

#include "WidgetProbe.moc"
