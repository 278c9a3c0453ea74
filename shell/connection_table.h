// The table model of the connection list: one row per connection the store keeps, refreshed from it at
// most a few times a second (never per event), so that a flood of traffic cannot hold the window up.
// Main thread only (Qt).
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <vector>

#include "log/conversation_store.h"

namespace tapline::shell {

class ConnectionTable : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { Number, Client, Remote, State, Start, Duration, ToServer, ToClient, Tls, FirstLine, ColumnCount };
  // The raw value of a cell, for sorting.
  static constexpr int SortRole = Qt::UserRole;

  explicit ConnectionTable(const log::ConversationStore& store, QObject* parent = nullptr);

  // What the TLS column says for every connection of the run ("" without TLS).
  void SetTls(const QString& text) { tls_ = text; }
  // Brings the rows up to the store; answers whether the rows were laid out anew (selections are lost).
  bool Refresh();
  // The connection a row shows; -1 for none.
  std::int32_t NumberAt(int row) const;
  int RowOf(std::int32_t number) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  const log::ConversationStore& store_;
  std::vector<std::int32_t> numbers_;  // the rows: connection numbers, as the store had them last
  std::uint64_t version_ = ~std::uint64_t{0};
  std::uint64_t removals_ = ~std::uint64_t{0};
  QString tls_;
};

}  // namespace tapline::shell
