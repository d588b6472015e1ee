#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>
#include <vector>

namespace oculo::x11 {

// The images a capture thread publishes, reused once the GUI thread has let
// go of them: a frame then costs no allocation and no page faults.
class X11ImagePool {
public:
    static constexpr std::size_t capacity = 8;

    // An RGB32 image of `size` that nobody else holds; null when out of memory.
    QImage& acquire(const QSize& size);

private:
    std::vector<QImage> m_images;
    std::size_t m_nextVictim = 0;
};

} // namespace oculo::x11
