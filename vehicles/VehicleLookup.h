#pragma once

#include "platform/ThreadSafety.h"
#include "vehicles/VehicleMgr.h"

#include <string>

class CVehicle;

// Finds an online vehicle and holds the registry's lock until it goes out of scope,
// so the vehicle cannot be removed meanwhile; a failed check in between can never
// leave the lock held. Any thread but the window's timer (a removal waits for it).
// The analysis knows the registry lock is held for the lookup's scope, so that
// CVehicleMgr::Add can demand it.
class SCOPED_CAPABILITY CVehicleLookup {
public:
    CVehicleLookup(CVehicleMgr& registry, const std::string& name) ACQUIRE(registry.m_registryLock);
    ~CVehicleLookup() RELEASE();
    CVehicleLookup(const CVehicleLookup&) = delete;
    CVehicleLookup& operator=(const CVehicleLookup&) = delete;

    // The vehicle, or null when none of that name is online.
    CVehicle* Vehicle() const { return m_pVehicle; }

private:
    CVehicleMgr& m_registry;
    CVehicle* m_pVehicle;
};
