// The scheduler: work shared among threads, each task once, and as many
// threads as the descriptors allow.
#include "tree/reparto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace kexo {
namespace {

TEST(Reparto, CadaTareaUnaVezEnUnHiloValido) {
    const struct {
        std::size_t tareas;
        unsigned hilos;
    } casos[] = {{0, 1}, {1, 1}, {1, 4}, {1000, 1}, {1000, 2}, {1000, 7}, {3, 16}};
    for (const auto& c : casos) {
        std::vector<std::atomic<int>> hechas(c.tareas);
        std::atomic<bool> hilo_malo{false};
        reparte_tareas(
            c.tareas, c.hilos,
            [&](std::size_t i, unsigned hilo) {
                hechas[i].fetch_add(1);
                if (hilo >= c.hilos) {
                    hilo_malo = true;
                }
            },
            [](std::size_t) {});
        for (std::size_t i = 0; i < c.tareas; ++i) {
            EXPECT_EQ(1, hechas[i].load()) << c.tareas << " tareas, " << c.hilos << " hilos: " << i;
        }
        EXPECT_FALSE(hilo_malo);
    }
}

TEST(Reparto, HilosQueCabenEnLosDescriptores) {
    const struct {
        unsigned pedidos;
        std::uint64_t permitidos;
        unsigned hilos;
    } casos[] = {
        {8, 1024, 8}, {300, 1024, 169}, {4, 0, 1},  {4, 14, 1},
        {4, 15, 1},   {4, 20, 2},       {1, 20, 1}, {256, UINT64_MAX, 256},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(c.hilos, hilos_posibles(c.pedidos, c.permitidos))
            << c.pedidos << " pedidos, " << c.permitidos << " descriptores";
    }
}

}  // namespace
}  // namespace kexo
