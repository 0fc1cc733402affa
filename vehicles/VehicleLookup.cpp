#include "vehicles/VehicleLookup.h"

#include "vehicles/VehicleMgr.h"

CVehicleLookup::CVehicleLookup(CVehicleMgr& registry, const std::string& name)
    : m_registry(registry), m_pVehicle(registry.Find(name))
{
}

CVehicleLookup::~CVehicleLookup()
{
    m_registry.Release();
}
