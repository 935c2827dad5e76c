// The engine's in-process server: one class, created per upload task.
#include <winsock2.h>
#include <windows.h>

#include "../../ovtransfer/com/single_class_server.h"
#include "../ovres/component_classes.h"
#include "engine_object.h"

const com::SingleClassServer g_server(CLSID_OvTransferEngine, L"Ov Transfer Engine",
                                      &com::CreateInstance<ovengine::CTransferEngine>);
