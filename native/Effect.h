// A force field the servo loop adds to the program's force every tick, from the end effector's
// position and velocity. An effect's parameters may change while the loop runs: each effect
// keeps them in a SeqLock, which the program writes and the loop reads without waiting.
#pragma once

#include "SeqLock.h"
#include "Vec3.h"

namespace Ornix::Companion {

class Effect {
public:
    virtual ~Effect() = default;
    virtual Vec3 Force(const Vec3& position, const Vec3& velocity) const = 0;
};

// An effect whose parameters are the record P.
template <typename P>
class EffectWith : public Effect {
public:
    using Parameters = P;

    explicit EffectWith(const P& parameters) : parameters(parameters) {}
    P Get() const { return parameters.Load(); }
    void Set(const P& changed) { parameters.Store(changed); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) const override {
        return ForceOf(parameters.Load(), position, velocity);
    }

private:
    static Vec3 ForceOf(const P& parameters, const Vec3& position, const Vec3& velocity);

    SeqLock<P> parameters;
};

}  // namespace Ornix::Companion
