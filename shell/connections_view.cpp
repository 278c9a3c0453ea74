#include "shell/connections_view.h"

#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QTableView>

#include "shell/connection_table.h"
#include "shell/conversation_pane.h"

namespace tapline::shell {

namespace {

// The list and the pane look at the store this often at most, however fast the traffic.
constexpr int kRefreshMilliseconds = 250;

}  // namespace

ConnectionsView::ConnectionsView(QWidget* parent) : QSplitter(Qt::Vertical, parent) {
  setObjectName(QStringLiteral("ConnectionsView"));
  table_ = new ConnectionTable(store_, this);
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(table_);
  sorted_->setSortRole(ConnectionTable::SortRole);
  sorted_->setDynamicSortFilter(true);
  list_ = new QTableView(this);
  list_->setObjectName(QStringLiteral("ConnectionList"));
  list_->setModel(sorted_);
  list_->setSortingEnabled(true);
  list_->sortByColumn(ConnectionTable::Number, Qt::AscendingOrder);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setAlternatingRowColors(true);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
  list_->horizontalHeader()->setStretchLastSection(true);
  const int digit = list_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  const int widths[] = {5, 17, 17, 11, 13, 9, 10, 10, 9};
  for (int column = 0; column < 9; ++column) list_->setColumnWidth(column, digit * widths[column]);
  pane_ = new ConversationPane(store_, this);
  addWidget(list_);
  addWidget(pane_);
  setStretchFactor(0, 2);
  setStretchFactor(1, 3);
  list_->setMinimumHeight(0);
  pane_->setMinimumHeight(0);

  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ConnectionsView::Selected);
  refresh_.setInterval(kRefreshMilliseconds);
  connect(&refresh_, &QTimer::timeout, this, &ConnectionsView::Tick);
  refresh_.start();
}

void ConnectionsView::SetTls(const QString& tls) { table_->SetTls(tls); }

void ConnectionsView::ClearAll() {
  store_.Clear();
  Refresh();
}

void ConnectionsView::Tick() {
  // Hidden, the list costs nothing; it catches up when shown again.
  if (isVisible()) Refresh();
}

void ConnectionsView::Refresh() {
  const std::int32_t shown = pane_->Shown();
  if (table_->Refresh()) {
    // Laid out anew: the selection follows its connection if that is still kept.
    const int row = table_->RowOf(shown);
    if (row >= 0) {
      QSignalBlocker quiet(list_->selectionModel());
      list_->selectRow(sorted_->mapFromSource(table_->index(row, 0)).row());
    }
  }
  pane_->Follow();
}

void ConnectionsView::Selected() {
  const QModelIndexList rows = list_->selectionModel()->selectedRows();
  const std::int32_t number = rows.isEmpty() ? -1 : table_->NumberAt(sorted_->mapToSource(rows.first()).row());
  if (number != pane_->Shown()) pane_->Show(number);
}

}  // namespace tapline::shell
