#include "Effects.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "EffectSet.h"

namespace Ornix::Companion {
namespace {

void ExpectNear(const Vec3& got, const Vec3& expected) {
    EXPECT_NEAR(got.x, expected.x, 1e-12);
    EXPECT_NEAR(got.y, expected.y, 1e-12);
    EXPECT_NEAR(got.z, expected.z, 1e-12);
}

TEST(Effects, SpringPullsToItsRestPointAndDamperResistsMotion) {
    const Spring spring({200, {0.2, 0, 0.1}});
    ExpectNear(spring.Force({0.21, -0.01, 0.1}, {1, 1, 1}), {-2, 2, 0});
    const Damper damper({3});
    ExpectNear(damper.Force({5, 5, 5}, {0.1, -0.2, 0}), {-0.3, 0.6, 0});
}

// The demo's wall: the plane z = 0.1 with its normal up. Behind it a spring pushes out and a
// damper resists motion further in, never motion back out.
TEST(Effects, WallPushesOutOnlyBehindItsPlane) {
    const Wall wall({{0, 0, 0.1}, {0, 0, 1}, 400, 4});
    ExpectNear(wall.Force({0.2, 0, 0.15}, {0, 0, -1}), {});
    ExpectNear(wall.Force({0.2, 0, 0.09}, {0, 0, 0}), {0, 0, 4});
    ExpectNear(wall.Force({0.2, 0, 0.09}, {0, 0, -0.5}), {0, 0, 6});
    ExpectNear(wall.Force({0.2, 0, 0.09}, {0.3, 0, 0.5}), {0, 0, 4});
    // A wall facing another way, through another point.
    const Wall side({{0.25, 0, 0}, {-1, 0, 0}, 100, 0});
    ExpectNear(side.Force({0.26, 0, 0}, {}), {-1, 0, 0});
}

TEST(Effects, BoundariesKeepTheEndEffectorInside) {
    const BoxBoundary box({{0.1, -0.1, -0.1}, {0.3, 0.1, 0.1}, 100, 2});
    ExpectNear(box.Force({0.2, 0, 0}, {1, 1, 1}), {});
    ExpectNear(box.Force({0.32, -0.12, 0}, {0.5, 0.5, 0}), {-2 - 1, 2, 0});
    const SphereBoundary sphere({{0.2, 0, 0}, 0.05, 100, 2});
    ExpectNear(sphere.Force({0.22, 0, 0}, {1, 0, 0}), {});
    ExpectNear(sphere.Force({0.2, 0.06, 0}, {0, 0.5, 0}), {0, -1 - 1, 0});
    ExpectNear(sphere.Force({0.2, 0.06, 0}, {0, -0.5, 0}), {0, -1, 0});
    const ConstantForce constant(ConstantParameters{{0, 0, -0.5}});
    ExpectNear(constant.Force({1, 2, 3}, {4, 5, 6}), {0, 0, -0.5});
}

TEST(Effects, ParametersChangedAreUsedAtOnce) {
    Spring spring({100, {}});
    ExpectNear(spring.Force({0.01, 0, 0}, {}), {-1, 0, 0});
    SpringParameters stiffer = spring.Get();
    stiffer.stiffness = 300;
    spring.Set(stiffer);
    ExpectNear(spring.Force({0.01, 0, 0}, {}), {-3, 0, 0});
}

TEST(EffectSet, SumsWhatItHoldsOnce) {
    EffectSet set;
    const ConstantForce up(ConstantParameters{{0, 0, 1}});
    const ConstantForce left(ConstantParameters{{0, 1, 0}});
    EXPECT_TRUE(set.Add(&up));
    EXPECT_FALSE(set.Add(&up));
    EXPECT_TRUE(set.Add(&left));
    ExpectNear(set.Sum({}, {}), {0, 1, 1});
    bool found = false;
    EXPECT_EQ(set.Remove(&up, found), 1u);
    EXPECT_TRUE(found);
    EXPECT_FALSE(set.Contains(&up));
    ExpectNear(set.Sum({}, {}), {0, 1, 0});
    EXPECT_EQ(set.Sums(), 2u);
    set.Remove(&up, found);
    EXPECT_FALSE(found);
}

TEST(EffectSet, HoldsAFixedNumber) {
    EffectSet set;
    std::vector<std::unique_ptr<ConstantForce>> forces;
    for (size_t i = 0; i <= EffectSet::kCapacity; ++i) {
        forces.push_back(std::make_unique<ConstantForce>(ConstantParameters{{1, 0, 0}}));
    }
    for (size_t i = 0; i < EffectSet::kCapacity; ++i) {
        EXPECT_TRUE(set.Add(forces[i].get()));
    }
    EXPECT_FALSE(set.Add(forces.back().get()));
    EXPECT_EQ(set.Sum({}, {}).x, static_cast<double>(EffectSet::kCapacity));
}

}  // namespace
}  // namespace Ornix::Companion
