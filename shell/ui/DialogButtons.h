#pragma once

class QDialog;
class QHBoxLayout;

// The row of "OK" (default, accepts) and "Cancel" (rejects) at the foot of a dialog,
// right-aligned; the buttons are named okButton and cancelButton. Window thread.
QHBoxLayout* NewOkCancelRow(QDialog* pDialog);
