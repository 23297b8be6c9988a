// A toolkit plugin the table figure loads into the real program (QT_PLUGIN_PATH and
// QT_QPA_GENERIC_PLUGINS=qiptablestats:<file>) to take what only the program itself can:
// the longest stall of its event loop, and the time its table takes to sort and filter.
// A 20 ms timer notes the longest gap between its ticks beyond 20 ms. Every 250 ms the
// plugin looks for <file>.cmd; each line there is one command, answered by one line
// appended to <file>:
//   reset    -> "reset"              (the longest stall starts anew)
//   stall    -> "stall <ms>"         (the longest stall since reset)
//   count    -> "count <rows> <greyed>" (the table's rows, and how many are greyed)
//   sort     -> "sort <ms> ..."      (each column sorted up and down, the time of each)
//   filter T -> "filter <ms> <rows> <ms>" (T typed into the filter, the rows then, and
//               the time to clear it again)
#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>

namespace {

class TableStats : public QObject {
public:
    explicit TableStats(const QString& path) : mPath(path) {
        connect(&mTick, &QTimer::timeout, this, [this] { Tick(); });
        mTick.setTimerType(Qt::PreciseTimer);
        mTick.start(cTickMs);
        mSince.start();
    }

private:
    static const int cTickMs = 20;

    void Tick() {
        const qint64 at = mSince.elapsed();
        if (mLast > 0) mStall = qMax(mStall, at - mLast - cTickMs);
        mLast = at;
        if (at - mLastLook >= 250) {
            mLastLook = at;
            Commands();
            mLast = mSince.elapsed();  // the commands' own time is no stall
        }
    }

    QTableView* Table() const {
        for (QWidget* widget : QApplication::allWidgets()) {
            if (auto* table = qobject_cast<QTableView*>(widget); table && table->model()) return table;
        }
        return nullptr;
    }

    void Commands() {
        QFile commands(mPath + ".cmd");
        if (!commands.open(QIODevice::ReadOnly)) return;
        const QStringList lines = QString::fromUtf8(commands.readAll()).split('\n', Qt::SkipEmptyParts);
        commands.close();
        commands.remove();
        QStringList answers;
        for (const QString& line : lines) answers << Answer(line.trimmed());
        QFile out(mPath);
        if (out.open(QIODevice::Append)) out.write((answers.join('\n') + '\n').toUtf8());
    }

    QString Answer(const QString& command) {
        QTableView* table = Table();
        if (command == "reset") {
            mStall = 0;
            return "reset";
        }
        if (command == "stall") return QString("stall %1").arg(mStall);
        if (table == nullptr) return command + " no-table";
        QAbstractItemModel* model = table->model();
        if (command == "count") {
            int greyed = 0;
            for (int row = 0; row < model->rowCount(); ++row) {
                greyed += model->index(row, 0).data(Qt::ForegroundRole).isValid() ? 1 : 0;
            }
            return QString("count %1 %2").arg(model->rowCount()).arg(greyed);
        }
        if (command == "sort") {
            QStringList times;
            for (int column = model->columnCount() - 1; column >= 0; --column) {
                for (Qt::SortOrder order : {Qt::DescendingOrder, Qt::AscendingOrder}) {
                    QElapsedTimer timer;
                    timer.start();
                    table->sortByColumn(column, order);
                    QApplication::processEvents();
                    times << QString::number(timer.nsecsElapsed() / 1e6, 'f', 1);
                }
            }
            return "sort " + times.join(' ');
        }
        if (command.startsWith("filter ")) {
            auto* edit = table->window()->findChild<QLineEdit*>("filterEdit");
            if (edit == nullptr) return "filter no-field";
            QElapsedTimer timer;
            timer.start();
            edit->setText(command.mid(7));
            QApplication::processEvents();
            const double typed = timer.nsecsElapsed() / 1e6;
            const int rows = model->rowCount();
            timer.restart();
            edit->clear();
            QApplication::processEvents();
            return QString("filter %1 %2 %3")
                .arg(typed, 0, 'f', 1)
                .arg(rows)
                .arg(timer.nsecsElapsed() / 1e6, 0, 'f', 1);
        }
        return command + " unknown";
    }

    QString mPath;
    QTimer mTick;
    QElapsedTimer mSince;
    qint64 mLast = 0;
    qint64 mLastLook = 0;
    qint64 mStall = 0;
};

}  // namespace

class TableStatsPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QGenericPluginFactoryInterface" FILE "TableStats.json")
public:
    QObject* create(const QString& key, const QString& path) override {
        if (key.compare("qiptablestats", Qt::CaseInsensitive) != 0 || path.isEmpty()) return nullptr;
        return new TableStats(path);
    }
};

#include "TableStats.moc"
