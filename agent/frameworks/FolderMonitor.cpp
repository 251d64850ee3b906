#include "frameworks/Mortar.hpp"

namespace mortar {

void SingleFolderMonitor::setDelegate(std::weak_ptr<MonitorDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::weak_ptr<MonitorDelegate> SingleFolderMonitor::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void SingleFolderMonitor::report() {
    // The call runs outside the lock: the delegate may take its time, and may set a new delegate.
    if (auto delegate = this->delegate().lock()) {
        delegate->folderDidChange(url_);
    }
}

} // namespace mortar
