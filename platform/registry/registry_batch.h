// An optional extension of the registry seam: many changes made as one.
//
// A registry that implements it (find it with dynamic_cast from the
// RegistryService) lets a caller gather the changes of one or more roots into
// a batch: the nine calls keep their return codes, and a call that fails
// still changes nothing of its own, but nothing the batch changed is seen by
// another process until CommitBatch(), and AbortBatch() (or the end of the
// process, however it ends) throws all of it away. Reads made through the same
// registry see the batch's changes.
//
// A batch belongs to the registry object, not to a thread: while it is open,
// changes from every thread of the process through that object join it.
#pragma once

#include "platform/registry/registry_service.h"

namespace ps::platform {

class RegistryBatch {
 public:
  virtual ~RegistryBatch() = default;

  // Adds the predefined root `root` to the batch, taking its write lock (other
  // writers of that root wait until the batch ends). ERROR_SUCCESS, or the
  // code any change of that root would get (ERROR_ACCESS_DENIED,
  // ERROR_INVALID_HANDLE, ERROR_BUSY, ...), and then the batch is as before.
  // A root already in the batch is ERROR_SUCCESS.
  virtual LONG BeginBatch(HKEY root) = 0;
  // Makes every change of the batch durable and visible, root by root, and
  // ends the batch. When a root's commit fails, its changes and those of the
  // roots not committed yet are thrown away and the failure is returned.
  virtual LONG CommitBatch() = 0;
  // Throws the batch's changes away and ends it. Does nothing without a batch.
  virtual void AbortBatch() = 0;
};

// Aborts the batch at the end of the scope unless Commit() was called.
class ScopedRegistryBatch {
 public:
  explicit ScopedRegistryBatch(RegistryBatch* batch) : batch_(batch) {}
  ~ScopedRegistryBatch() {
    if (batch_) batch_->AbortBatch();
  }
  ScopedRegistryBatch(const ScopedRegistryBatch&) = delete;
  ScopedRegistryBatch& operator=(const ScopedRegistryBatch&) = delete;

  LONG Commit() {
    RegistryBatch* batch = batch_;
    batch_ = nullptr;
    return batch ? batch->CommitBatch() : ERROR_SUCCESS;
  }

 private:
  RegistryBatch* batch_;
};

}  // namespace ps::platform
