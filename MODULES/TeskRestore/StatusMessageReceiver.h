// Where the restore copier sends its status texts ("Clearing: ...",
// "Restoring: ..."); the restore dialog shows them.
#pragma once

class CStatusMessageReceiver {
 public:
  virtual void ShowStatusMessage(const char* text) = 0;

 protected:
  ~CStatusMessageReceiver() = default;
};
