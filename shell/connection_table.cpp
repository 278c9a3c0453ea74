#include "shell/connection_table.h"

#include <QDateTime>
#include <QLocale>
#include <chrono>

namespace tapline::shell {

namespace {

qint64 Millis(log::TimePoint at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

QString Bytes(std::int64_t n) { return QLocale::c().toString(static_cast<qlonglong>(n)); }

}  // namespace

ConnectionTable::ConnectionTable(const log::ConversationStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {}

bool ConnectionTable::Refresh() {
  if (store_.Version() == version_) return false;
  version_ = store_.Version();
  const auto& all = store_.All();
  if (store_.Removals() != removals_ || all.size() < numbers_.size()) {
    removals_ = store_.Removals();
    beginResetModel();
    numbers_.clear();
    numbers_.reserve(all.size());
    for (const auto& [number, c] : all) numbers_.push_back(number);
    endResetModel();
    return true;
  }
  // Numbers only grow within a run: what is new comes after the rows there are.
  if (all.size() > numbers_.size()) {
    const std::int32_t last = numbers_.empty() ? 0 : numbers_.back();
    auto from = all.upper_bound(last);
    const int first = static_cast<int>(numbers_.size());
    const int count = static_cast<int>(std::distance(from, all.end()));
    beginInsertRows(QModelIndex(), first, first + count - 1);
    for (auto it = from; it != all.end(); ++it) numbers_.push_back(it->first);
    endInsertRows();
  }
  if (!numbers_.empty()) emit dataChanged(index(0, 0), index(static_cast<int>(numbers_.size()) - 1, ColumnCount - 1));
  return false;
}

std::int32_t ConnectionTable::NumberAt(int row) const {
  return row >= 0 && row < static_cast<int>(numbers_.size()) ? numbers_[static_cast<std::size_t>(row)] : -1;
}

int ConnectionTable::RowOf(std::int32_t number) const {
  auto it = std::lower_bound(numbers_.begin(), numbers_.end(), number);
  return it != numbers_.end() && *it == number ? static_cast<int>(it - numbers_.begin()) : -1;
}

int ConnectionTable::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(numbers_.size());
}

int ConnectionTable::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ConnectionTable::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kNames[] = {"#",          "Client",    "Remote", "State", "Start", "Duration",
                                       "To server", "To client", "TLS",    "First line"};
  return section >= 0 && section < ColumnCount ? QString::fromLatin1(kNames[section]) : QVariant();
}

QVariant ConnectionTable::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != SortRole && role != Qt::TextAlignmentRole)) return {};
  // The store may have let the connection go since the last refresh: its row then shows nothing.
  const log::Conversation* c = store_.Find(NumberAt(index.row()));
  if (c == nullptr) return {};
  const auto column = static_cast<Column>(index.column());
  if (role == Qt::TextAlignmentRole) {
    bool number = column == Number || column == Duration || column == ToServer || column == ToClient;
    return QVariant::fromValue(Qt::Alignment((number ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
  }
  const bool sort = role == SortRole;
  const bool over = c->state == log::ConversationState::Ended || c->state == log::ConversationState::Failed;
  switch (column) {
    case Number: return sort ? QVariant(c->number) : QVariant(QString::number(c->number));
    case Client: return QString::fromStdString(c->client.ToString());
    case Remote: return QString::fromStdString(c->serverKnown ? c->server.ToString() : c->remote);
    case State: return QString::fromLatin1(log::StateName(c->state));
    case Start: {
      const qint64 at = Millis(c->opened);
      if (sort) return at;
      return QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("HH:mm:ss.zzz"));
    }
    case Duration: {
      // A connection still going is measured to now, as of the last refresh.
      const qint64 end = over ? Millis(c->closed) : QDateTime::currentMSecsSinceEpoch();
      const qint64 ms = std::max<qint64>(0, end - Millis(c->opened));
      if (sort) return ms;
      return QStringLiteral("%1.%2 s").arg(ms / 1000).arg(ms % 1000 / 100);
    }
    case ToServer: return sort ? QVariant(static_cast<qlonglong>(c->bytes[0])) : QVariant(Bytes(c->bytes[0]));
    case ToClient: return sort ? QVariant(static_cast<qlonglong>(c->bytes[1])) : QVariant(Bytes(c->bytes[1]));
    case Tls: return tls_;
    case FirstLine: return QString::fromUtf8(c->firstLine.data(), static_cast<qsizetype>(c->firstLine.size()));
    case ColumnCount: break;
  }
  return {};
}

}  // namespace tapline::shell
