// The Connections tab of the window: the connection list above the conversation pane of the selected
// connection, both fed from the run's conversation store by a refresh four times a second at most.
// Main thread only (Qt).
#pragma once

#include <QSplitter>
#include <QTimer>
#include <cstdint>

#include "log/conversation_store.h"

class QSortFilterProxyModel;
class QTableView;

namespace tapline::shell {

class ConnectionTable;
class ConversationPane;

class ConnectionsView : public QSplitter {
  Q_OBJECT

 public:
  explicit ConnectionsView(QWidget* parent = nullptr);

  // The store the relay feeds (a traffic sink of the window's relay).
  log::ConversationStore& Store() { return store_; }
  // What the TLS column says for the connections of the next run ("" without TLS).
  void SetTls(const QString& tls);
  // Clear: empties the list and the pane.
  void ClearAll();
  // Brings the list and the pane up to the store now (the timer does it while the tab is shown).
  void Refresh();

  QTableView* List() const { return list_; }
  ConversationPane* Pane() const { return pane_; }

 private:
  void Selected();
  void Tick();  // the timer: refreshes while the tab is shown

  log::ConversationStore store_;
  ConnectionTable* table_;
  QSortFilterProxyModel* sorted_;
  QTableView* list_;
  ConversationPane* pane_;
  QTimer refresh_;
};

}  // namespace tapline::shell
