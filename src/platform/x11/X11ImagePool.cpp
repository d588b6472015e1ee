#include "platform/x11/X11ImagePool.h"

#include <atomic>

namespace oculo::x11 {

QImage& X11ImagePool::acquire(const QSize& size) {
    for (QImage& image : m_images) {
        if (image.size() == size && image.isDetached()) {
            // The GUI thread's last reads of it happen before our writes.
            std::atomic_thread_fence(std::memory_order_acquire);
            return image;
        }
    }
    QImage fresh(size, QImage::Format_RGB32);
    for (QImage& image : m_images) {
        if (image.isNull() || image.isDetached()) {
            image = fresh;
            return image;
        }
    }
    if (m_images.size() < capacity) {
        m_images.push_back(fresh);
        return m_images.back();
    }
    // Every pooled image is still held elsewhere: drop our share of one.
    QImage& victim = m_images[m_nextVictim];
    m_nextVictim = (m_nextVictim + 1) % m_images.size();
    victim = fresh;
    return victim;
}

} // namespace oculo::x11
