#include "Vst3Host.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

// Every host-side object below follows the layout the interfaces expect: the object starts
// with a pointer to its function table, and that pointer's address is the interface pointer.
// The objects are owned by the host; reference counts only keep the plug-in's view honest.

namespace {

template <class T>
T* objectOf(void* self)
{
    return static_cast<T*>(self);
}

bool sameId(const v3_tuid a, const v3_tuid b)
{
    return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

void toUtf16(const char* text, int16_t* out, size_t max)
{
    size_t i = 0;
    for (; i + 1 < max && text[i] != '\0'; ++i)
        out[i] = static_cast<int16_t>(static_cast<unsigned char>(text[i]));
    out[i] = 0;
}

// FUnknown and the object's own interface answer with the object itself.
template <const v3_tuid& kOwnIid>
v3_result V3_API queryOwn(void* self, const v3_tuid iid, void** obj)
{
    if (sameId(iid, v3_funknown_iid) || sameId(iid, kOwnIid))
    {
        *obj = self;
        return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
}

// Objects the host keeps alive itself: their reference counts are moot.
uint32_t V3_API hostOwnedRef(void*)
{
    return 1;
}

template <const v3_tuid& kOwnIid, class Vtbl>
void initHostOwned(Vtbl& vtbl)
{
    vtbl.query_interface = queryOwn<kOwnIid>;
    vtbl.ref = hostOwnedRef;
    vtbl.unref = hostOwnedRef;
}

// Objects handed to the plug-in to keep (attribute lists, messages): a `refs` member, deleted
// with the last reference.
template <class T>
uint32_t V3_API refCounted(void* self)
{
    return ++objectOf<T>(self)->refs;
}

template <class T>
uint32_t V3_API unrefCounted(void* self)
{
    T* const object = objectOf<T>(self);
    const int n = --object->refs;
    if (n == 0)
        delete object;
    return static_cast<uint32_t>(n);
}

template <class T, const v3_tuid& kOwnIid>
v3_result V3_API queryCounted(void* self, const v3_tuid iid, void** obj)
{
    const v3_result res = queryOwn<kOwnIid>(self, iid, obj);
    if (res == V3_OK)
        refCounted<T>(self);
    return res;
}

template <class T, const v3_tuid& kOwnIid, class Vtbl>
void initCounted(Vtbl& vtbl)
{
    vtbl.query_interface = queryCounted<T, kOwnIid>;
    vtbl.ref = refCounted<T>;
    vtbl.unref = unrefCounted<T>;
}

template <class Map, class Value>
v3_result findAttribute(const Map& map, const char* id, Value* value)
{
    const auto it = map.find(id);
    if (it == map.end())
        return V3_INVALID_ARG;
    *value = it->second;
    return V3_OK;
}

// --- attribute list and message (DPF's editor exchanges these between its two halves) ---

struct AttributeList
{
    v3_attribute_list_cpp* vtblPtr;
    v3_attribute_list_cpp vtbl;
    std::atomic<int> refs{ 1 };
    std::map<std::string, int64_t> ints;
    std::map<std::string, double> floats;
    std::map<std::string, std::vector<int16_t>> strings;
    std::map<std::string, std::vector<uint8_t>> binaries;

    AttributeList()
    {
        vtblPtr = &vtbl;
        initCounted<AttributeList, v3_attribute_list_iid>(vtbl);
        vtbl.attrlist.set_int = setInt;
        vtbl.attrlist.get_int = getInt;
        vtbl.attrlist.set_float = setFloat;
        vtbl.attrlist.get_float = getFloat;
        vtbl.attrlist.set_string = setString;
        vtbl.attrlist.get_string = getString;
        vtbl.attrlist.set_binary = setBinary;
        vtbl.attrlist.get_binary = getBinary;
    }

    static v3_result V3_API setInt(void* self, const char* id, int64_t v)
    {
        objectOf<AttributeList>(self)->ints[id] = v;
        return V3_OK;
    }
    static v3_result V3_API getInt(void* self, const char* id, int64_t* v)
    {
        return findAttribute(objectOf<AttributeList>(self)->ints, id, v);
    }
    static v3_result V3_API setFloat(void* self, const char* id, double v)
    {
        objectOf<AttributeList>(self)->floats[id] = v;
        return V3_OK;
    }
    static v3_result V3_API getFloat(void* self, const char* id, double* v)
    {
        return findAttribute(objectOf<AttributeList>(self)->floats, id, v);
    }
    static v3_result V3_API setString(void* self, const char* id, const int16_t* s)
    {
        std::vector<int16_t> text;
        for (; *s != 0; ++s)
            text.push_back(*s);
        text.push_back(0);
        objectOf<AttributeList>(self)->strings[id] = std::move(text);
        return V3_OK;
    }
    static v3_result V3_API getString(void* self, const char* id, int16_t* s, uint32_t sizeInBytes)
    {
        const auto& m = objectOf<AttributeList>(self)->strings;
        const auto it = m.find(id);
        if (it == m.end() || sizeInBytes < sizeof(int16_t))
            return V3_INVALID_ARG;
        const size_t n = std::min<size_t>(it->second.size(), sizeInBytes / sizeof(int16_t));
        std::memcpy(s, it->second.data(), n * sizeof(int16_t));
        s[n - 1] = 0;
        return V3_OK;
    }
    static v3_result V3_API setBinary(void* self, const char* id, const void* data, uint32_t size)
    {
        const uint8_t* const bytes = static_cast<const uint8_t*>(data);
        objectOf<AttributeList>(self)->binaries[id].assign(bytes, bytes + size);
        return V3_OK;
    }
    static v3_result V3_API getBinary(void* self, const char* id, const void** data, uint32_t* size)
    {
        const auto& m = objectOf<AttributeList>(self)->binaries;
        const auto it = m.find(id);
        if (it == m.end())
            return V3_INVALID_ARG;
        *data = it->second.data();
        *size = static_cast<uint32_t>(it->second.size());
        return V3_OK;
    }
};

struct Message
{
    v3_message_cpp* vtblPtr;
    v3_message_cpp vtbl;
    std::atomic<int> refs{ 1 };
    std::string id;
    AttributeList* attributes = new AttributeList;

    Message()
    {
        vtblPtr = &vtbl;
        initCounted<Message, v3_message_iid>(vtbl);
        vtbl.msg.get_message_id = getId;
        vtbl.msg.set_message_id = setId;
        vtbl.msg.get_attributes = getAttributes;
    }
    ~Message() { unrefCounted<AttributeList>(attributes); }

    static const char* V3_API getId(void* self) { return objectOf<Message>(self)->id.c_str(); }
    static void V3_API setId(void* self, const char* id) { objectOf<Message>(self)->id = id != nullptr ? id : ""; }
    static v3_attribute_list** V3_API getAttributes(void* self)
    {
        return reinterpret_cast<v3_attribute_list**>(&objectOf<Message>(self)->attributes->vtblPtr);
    }
};

// --- memory stream for states ---

struct StreamVtbl : v3_funknown
{
    v3_bstream stream;
};

struct MemoryStream
{
    StreamVtbl* vtblPtr;
    StreamVtbl vtbl;
    std::vector<uint8_t> data;
    size_t pos = 0;

    MemoryStream()
    {
        vtblPtr = &vtbl;
        initHostOwned<v3_bstream_iid>(vtbl);
        vtbl.stream.read = read;
        vtbl.stream.write = write;
        vtbl.stream.seek = seek;
        vtbl.stream.tell = tell;
    }
    v3_bstream** interface() { return reinterpret_cast<v3_bstream**>(&vtblPtr); }

    static v3_result V3_API read(void* self, void* buffer, int32_t bytes, int32_t* done)
    {
        MemoryStream* const s = objectOf<MemoryStream>(self);
        if (bytes < 0)
            return V3_INVALID_ARG;
        const size_t n = std::min<size_t>(static_cast<size_t>(bytes), s->data.size() - s->pos);
        if (n != 0)
            std::memcpy(buffer, s->data.data() + s->pos, n);
        s->pos += n;
        if (done != nullptr)
            *done = static_cast<int32_t>(n);
        return V3_OK;
    }
    static v3_result V3_API write(void* self, void* buffer, int32_t bytes, int32_t* done)
    {
        MemoryStream* const s = objectOf<MemoryStream>(self);
        if (bytes < 0)
            return V3_INVALID_ARG;
        const uint8_t* const b = static_cast<const uint8_t*>(buffer);
        if (s->pos + static_cast<size_t>(bytes) > s->data.size())
            s->data.resize(s->pos + static_cast<size_t>(bytes));
        std::memcpy(s->data.data() + s->pos, b, static_cast<size_t>(bytes));
        s->pos += static_cast<size_t>(bytes);
        if (done != nullptr)
            *done = bytes;
        return V3_OK;
    }
    static v3_result V3_API seek(void* self, int64_t offset, int32_t mode, int64_t* result)
    {
        MemoryStream* const s = objectOf<MemoryStream>(self);
        int64_t base = 0;
        if (mode == V3_SEEK_CUR)
            base = static_cast<int64_t>(s->pos);
        else if (mode == V3_SEEK_END)
            base = static_cast<int64_t>(s->data.size());
        const int64_t target = base + offset;
        if (target < 0 || target > static_cast<int64_t>(s->data.size()))
            return V3_INVALID_ARG;
        s->pos = static_cast<size_t>(target);
        if (result != nullptr)
            *result = target;
        return V3_OK;
    }
    static v3_result V3_API tell(void* self, int64_t* pos)
    {
        *pos = static_cast<int64_t>(objectOf<MemoryStream>(self)->pos);
        return V3_OK;
    }
};

} // namespace

std::string vst3String(const int16_t* text, const size_t max)
{
    std::string s;
    for (size_t i = 0; i < max && text[i] != 0; ++i)
        s.push_back(text[i] < 128 ? static_cast<char>(text[i]) : '?');
    return s;
}

// ---------------------------------------------------------------------------------------------
// Host application: the context of the factory, the component and the controller

struct Vst3Module::HostApplication
{
    v3_host_application_cpp* vtblPtr;
    v3_host_application_cpp vtbl;

    HostApplication()
    {
        vtblPtr = &vtbl;
        initHostOwned<v3_host_application_iid>(vtbl);
        vtbl.app.get_name = getName;
        vtbl.app.create_instance = createInstance;
    }

    static v3_result V3_API getName(void*, v3_str_128 name)
    {
        toUtf16("korvane-test-host", name, 128);
        return V3_OK;
    }
    static v3_result V3_API createInstance(void*, v3_tuid cid, v3_tuid iid, void** obj)
    {
        if (sameId(cid, v3_message_iid) && sameId(iid, v3_message_iid))
        {
            *obj = &(new Message)->vtblPtr;
            return V3_OK;
        }
        if (sameId(cid, v3_attribute_list_iid) && sameId(iid, v3_attribute_list_iid))
        {
            *obj = &(new AttributeList)->vtblPtr;
            return V3_OK;
        }
        *obj = nullptr;
        return V3_NO_INTERFACE;
    }
};

// ---------------------------------------------------------------------------------------------
// Module

Vst3Module::Vst3Module(const std::string& path)
    : fHostApp(new HostApplication)
{
    fBinary = path;
    const size_t slash = path.find_last_of("/\\");
    std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf.size() > 5 && leaf.compare(leaf.size() - 5, 5, ".vst3") == 0)
    {
        const std::string stem = leaf.substr(0, leaf.size() - 5);
#ifdef _WIN32
        const std::string inside = path + "/Contents/x86_64-win/" + stem + ".vst3";
#else
        const std::string inside = path + "/Contents/x86_64-linux/" + stem + ".so";
#endif
        if (FILE* const f = std::fopen(inside.c_str(), "rb"))
        {
            std::fclose(f);
            fBinary = inside;
        }
    }

    fLibrary.reset(new DynamicLibrary(fBinary));

#ifdef _WIN32
    using EntryFn = bool (*)();
    EntryFn entry = reinterpret_cast<EntryFn>(fLibrary->symbol("InitDll"));
    fExit = reinterpret_cast<bool (*)()>(fLibrary->symbol("ExitDll"));
    if (entry != nullptr && !entry())
        throw std::runtime_error(fBinary + ": InitDll failed");
#else
    using EntryFn = bool (*)(void*);
    EntryFn entry = reinterpret_cast<EntryFn>(fLibrary->symbol("ModuleEntry"));
    fExit = reinterpret_cast<bool (*)()>(fLibrary->symbol("ModuleExit"));
    if (entry == nullptr || fExit == nullptr)
        throw std::runtime_error(fBinary + " lacks ModuleEntry or ModuleExit");
    if (!entry(fLibrary->handle()))
        throw std::runtime_error(fBinary + ": ModuleEntry failed");
#endif

    using FactoryFn = v3_plugin_factory** (*)();
    FactoryFn getFactory = reinterpret_cast<FactoryFn>(fLibrary->symbol("GetPluginFactory"));
    fFactory = getFactory != nullptr ? getFactory() : nullptr;
    if (fFactory == nullptr)
    {
        if (fExit != nullptr)
            fExit();
        throw std::runtime_error(fBinary + " has no plug-in factory");
    }

    v3_plugin_factory* const f = v3_cpp_obj(fFactory);
    f->get_factory_info(fFactory, &fFactoryInfo);

    v3_plugin_factory_3** f3 = nullptr;
    if (v3_cpp_obj_query_interface(fFactory, v3_plugin_factory_3_iid, &f3) == V3_OK && f3 != nullptr)
    {
        v3_cpp_obj(f3)->set_host_context(f3, hostContext());
        v3_cpp_obj_unref(f3);
    }

    v3_plugin_factory_2** f2 = nullptr;
    if (v3_cpp_obj_query_interface(fFactory, v3_plugin_factory_2_iid, &f2) != V3_OK)
        f2 = nullptr;

    const int32_t count = f->num_classes(fFactory);
    for (int32_t i = 0; i < count; ++i)
    {
        Vst3ClassInfo c;
        if (f2 != nullptr)
        {
            v3_class_info_2 info;
            if (v3_cpp_obj(f2)->get_class_info_2(f2, i, &info) != V3_OK)
                continue;
            std::memcpy(c.classId, info.class_id, sizeof(v3_tuid));
            c.name = info.name;
            c.category = info.category;
            c.subCategories = info.sub_categories;
            c.vendor = info.vendor;
            c.version = info.version;
            c.sdkVersion = info.sdk_version;
            c.classFlags = info.class_flags;
        }
        else
        {
            v3_class_info info;
            if (f->get_class_info(fFactory, i, &info) != V3_OK)
                continue;
            std::memcpy(c.classId, info.class_id, sizeof(v3_tuid));
            c.name = info.name;
            c.category = info.category;
        }
        fClasses.push_back(c);
    }
    if (f2 != nullptr)
        v3_cpp_obj_unref(f2);
}

Vst3Module::~Vst3Module()
{
    v3_cpp_obj_unref(fFactory);
    if (fExit != nullptr)
        fExit();
}

v3_funknown** Vst3Module::hostContext() const noexcept
{
    return reinterpret_cast<v3_funknown**>(&fHostApp->vtblPtr);
}

// ---------------------------------------------------------------------------------------------
// Component handler: what the controller tells the host

struct HandlerVtbl : v3_funknown
{
    v3_component_handler handler;
};

struct Vst3Instance::Handler
{
    HandlerVtbl* vtblPtr;
    HandlerVtbl vtbl;
    Vst3Instance* owner;

    explicit Handler(Vst3Instance* o)
        : owner(o)
    {
        vtblPtr = &vtbl;
        initHostOwned<v3_component_handler_iid>(vtbl);
        vtbl.handler.begin_edit = beginEdit;
        vtbl.handler.perform_edit = performEdit;
        vtbl.handler.end_edit = endEdit;
        vtbl.handler.restart_component = restartComponent;
    }

    static v3_result V3_API beginEdit(void* self, v3_param_id)
    {
        ++objectOf<Handler>(self)->owner->fRequests.beginEdit;
        return V3_OK;
    }
    static v3_result V3_API performEdit(void* self, v3_param_id, double)
    {
        ++objectOf<Handler>(self)->owner->fRequests.performEdit;
        return V3_OK;
    }
    static v3_result V3_API endEdit(void* self, v3_param_id)
    {
        ++objectOf<Handler>(self)->owner->fRequests.endEdit;
        return V3_OK;
    }
    static v3_result V3_API restartComponent(void* self, int32_t flags)
    {
        Requests& r = objectOf<Handler>(self)->owner->fRequests;
        r.restartFlags |= flags;
        ++r.restartCount;
        return V3_OK;
    }
};

// ---------------------------------------------------------------------------------------------
// Parameter changes of one block, in fixed storage

struct Vst3Instance::Changes
{
    struct Queue
    {
        v3_param_value_queue_cpp* vtblPtr;
        v3_param_value_queue_cpp vtbl;
        v3_param_id id;
        int32_t count;
        int32_t offsets[kMaxPoints];
        double values[kMaxPoints];

        void init()
        {
            vtblPtr = &vtbl;
            initHostOwned<v3_param_value_queue_iid>(vtbl);
            vtbl.queue.get_param_id = getParamId;
            vtbl.queue.get_point_count = getPointCount;
            vtbl.queue.get_point = getPoint;
            vtbl.queue.add_point = addPoint;
            id = 0;
            count = 0;
        }
        static v3_param_id V3_API getParamId(void* self) { return objectOf<Queue>(self)->id; }
        static int32_t V3_API getPointCount(void* self) { return objectOf<Queue>(self)->count; }
        static v3_result V3_API getPoint(void* self, int32_t idx, int32_t* offset, double* value)
        {
            const Queue* const q = objectOf<Queue>(self);
            if (idx < 0 || idx >= q->count)
                return V3_INVALID_ARG;
            *offset = q->offsets[idx];
            *value = q->values[idx];
            return V3_OK;
        }
        static v3_result V3_API addPoint(void* self, int32_t offset, double value, int32_t* idx)
        {
            Queue* const q = objectOf<Queue>(self);
            // a point at an offset already present replaces it, as the interface asks
            for (int32_t i = 0; i < q->count; ++i)
            {
                if (q->offsets[i] == offset)
                {
                    q->values[i] = value;
                    if (idx != nullptr)
                        *idx = i;
                    return V3_OK;
                }
            }
            if (q->count == kMaxPoints)
                return V3_NOMEM;
            q->offsets[q->count] = offset;
            q->values[q->count] = value;
            if (idx != nullptr)
                *idx = q->count;
            ++q->count;
            return V3_OK;
        }
    };

    v3_param_changes_cpp* vtblPtr;
    v3_param_changes_cpp vtbl;
    int32_t count = 0;
    Queue queues[kMaxQueues];

    Changes()
    {
        vtblPtr = &vtbl;
        initHostOwned<v3_param_changes_iid>(vtbl);
        vtbl.changes.get_param_count = getParamCount;
        vtbl.changes.get_param_data = getParamData;
        vtbl.changes.add_param_data = addParamData;
        for (Queue& q : queues)
            q.init();
    }
    v3_param_changes** interface() { return reinterpret_cast<v3_param_changes**>(&vtblPtr); }

    Queue* find(v3_param_id id, bool add)
    {
        for (int32_t i = 0; i < count; ++i)
        {
            if (queues[i].id == id)
                return &queues[i];
        }
        if (!add || count == kMaxQueues)
            return nullptr;
        Queue& q = queues[count++];
        q.id = id;
        q.count = 0;
        return &q;
    }

    static int32_t V3_API getParamCount(void* self) { return objectOf<Changes>(self)->count; }
    static v3_param_value_queue** V3_API getParamData(void* self, int32_t idx)
    {
        Changes* const c = objectOf<Changes>(self);
        if (idx < 0 || idx >= c->count)
            return nullptr;
        return reinterpret_cast<v3_param_value_queue**>(&c->queues[idx].vtblPtr);
    }
    static v3_param_value_queue** V3_API addParamData(void* self, v3_param_id* id, int32_t* index)
    {
        Changes* const c = objectOf<Changes>(self);
        Queue* const q = c->find(*id, true);
        if (q == nullptr)
            return nullptr;
        if (index != nullptr)
            *index = static_cast<int32_t>(q - c->queues);
        return reinterpret_cast<v3_param_value_queue**>(&q->vtblPtr);
    }
};

// ---------------------------------------------------------------------------------------------
// Instance

Vst3Instance::Vst3Instance(Vst3Module& module)
    : fModule(module),
      fHandler(new Handler(this)),
      fInChanges(new Changes),
      fOutChangesList(new Changes)
{
    const Vst3ClassInfo* audioClass = nullptr;
    for (const Vst3ClassInfo& c : module.classes())
    {
        if (c.category == "Audio Module Class")
        {
            audioClass = &c;
            break;
        }
    }
    if (audioClass == nullptr)
        throw std::runtime_error(module.binaryPath() + " has no audio module class");

    v3_plugin_factory** const factory = module.factory();
    v3_plugin_factory* const f = v3_cpp_obj(factory);
    v3_tuid iid;
    std::memcpy(iid, v3_component_iid, sizeof(iid));
    if (f->create_instance(factory, audioClass->classId, iid, reinterpret_cast<void**>(&fComponent)) != V3_OK ||
        fComponent == nullptr)
    {
        throw std::runtime_error(module.binaryPath() + ": cannot create the component");
    }

    try
    {
        if (v3_cpp_obj_initialize(fComponent, module.hostContext()) != V3_OK)
        {
            v3_cpp_obj_unref(fComponent);
            fComponent = nullptr;
            throw std::runtime_error("component initialize failed");
        }
        if (v3_cpp_obj_query_interface(fComponent, v3_audio_processor_iid, &fProcessor) != V3_OK)
            throw std::runtime_error("component has no audio processor");

        // The controller: its own class when the component names one, else the component itself.
        v3_tuid ctrlId;
        if (v3_cpp_obj(fComponent)->get_controller_class_id(fComponent, ctrlId) == V3_OK)
        {
            std::memcpy(iid, v3_edit_controller_iid, sizeof(iid));
            if (f->create_instance(factory, ctrlId, iid, reinterpret_cast<void**>(&fController)) == V3_OK &&
                fController != nullptr)
            {
                fSeparateController = true;
                if (v3_cpp_obj_initialize(fController, module.hostContext()) != V3_OK)
                    throw std::runtime_error("controller initialize failed");
            }
        }
        if (!fSeparateController &&
            v3_cpp_obj_query_interface(fComponent, v3_edit_controller_iid, &fController) != V3_OK)
        {
            fController = nullptr;
            throw std::runtime_error("no edit controller");
        }

        v3_cpp_obj(fController)->set_component_handler(fController,
                                                        reinterpret_cast<v3_component_handler**>(&fHandler->vtblPtr));

        if (fSeparateController)
        {
            if (v3_cpp_obj_query_interface(fComponent, v3_connection_point_iid, &fCompPoint) != V3_OK)
                fCompPoint = nullptr;
            if (v3_cpp_obj_query_interface(fController, v3_connection_point_iid, &fCtrlPoint) != V3_OK)
                fCtrlPoint = nullptr;
            if (fCompPoint != nullptr && fCtrlPoint != nullptr)
            {
                v3_cpp_obj(fCompPoint)->connect(fCompPoint, fCtrlPoint);
                v3_cpp_obj(fCtrlPoint)->connect(fCtrlPoint, fCompPoint);
            }
        }

        // As a DAW does after creation: the controller learns the component's state.
        MemoryStream stream;
        if (v3_cpp_obj(fComponent)->get_state(fComponent, stream.interface()) == V3_OK)
        {
            stream.pos = 0;
            v3_cpp_obj(fController)->set_component_state(fController, stream.interface());
        }

        v3_component* const comp = v3_cpp_obj(fComponent);
        for (const int32_t dir : { static_cast<int32_t>(V3_INPUT), static_cast<int32_t>(V3_OUTPUT) })
        {
            for (int32_t i = 0; i < comp->get_bus_count(fComponent, V3_AUDIO, dir); ++i)
                comp->activate_bus(fComponent, V3_AUDIO, dir, i, true);
        }
    }
    catch (...)
    {
        teardown();
        throw;
    }
}

Vst3Instance::~Vst3Instance()
{
    teardown();
}

void Vst3Instance::teardown() noexcept
{
    if (fComponent == nullptr)
        return;
    if (fProcessor != nullptr && fProcessing)
        v3_cpp_obj(fProcessor)->set_processing(fProcessor, false);
    if (fActive)
        v3_cpp_obj(fComponent)->set_active(fComponent, false);
    fProcessing = fActive = false;

    if (fCompPoint != nullptr && fCtrlPoint != nullptr)
    {
        v3_cpp_obj(fCompPoint)->disconnect(fCompPoint, fCtrlPoint);
        v3_cpp_obj(fCtrlPoint)->disconnect(fCtrlPoint, fCompPoint);
    }
    if (fCompPoint != nullptr)
        v3_cpp_obj_unref(fCompPoint);
    if (fCtrlPoint != nullptr)
        v3_cpp_obj_unref(fCtrlPoint);
    fCompPoint = fCtrlPoint = nullptr;

    if (fController != nullptr)
    {
        v3_cpp_obj(fController)->set_component_handler(fController, nullptr);
        if (fSeparateController)
            v3_cpp_obj_terminate(fController);
        v3_cpp_obj_unref(fController);
        fController = nullptr;
    }
    if (fProcessor != nullptr)
    {
        v3_cpp_obj_unref(fProcessor);
        fProcessor = nullptr;
    }
    v3_cpp_obj_terminate(fComponent);
    v3_cpp_obj_unref(fComponent);
    fComponent = nullptr;
}

int32_t Vst3Instance::audioBusCount(const int32_t direction) const
{
    return v3_cpp_obj(fComponent)->get_bus_count(fComponent, V3_AUDIO, direction);
}

v3_bus_info Vst3Instance::audioBusInfo(const int32_t direction, const int32_t index) const
{
    v3_bus_info info;
    std::memset(&info, 0, sizeof(info));
    if (v3_cpp_obj(fComponent)->get_bus_info(fComponent, V3_AUDIO, direction, index, &info) != V3_OK)
        throw std::runtime_error("no audio bus " + std::to_string(index));
    return info;
}

std::vector<Vst3ParamInfo> Vst3Instance::parameters() const
{
    std::vector<Vst3ParamInfo> list;
    v3_edit_controller* const c = v3_cpp_obj(fController);
    const int32_t count = c->get_parameter_count(fController);
    for (int32_t i = 0; i < count; ++i)
    {
        v3_param_info info;
        std::memset(&info, 0, sizeof(info));
        if (c->get_parameter_info(fController, i, &info) != V3_OK)
            throw std::runtime_error("no parameter info at " + std::to_string(i));
        list.push_back({ info.param_id, vst3String(info.title, 128), vst3String(info.short_title, 128),
                         vst3String(info.units, 128), info.step_count, info.default_normalised_value, info.flags });
    }
    return list;
}

std::vector<Vst3ParamInfo> Vst3Instance::visibleParameters() const
{
    std::vector<Vst3ParamInfo> list = parameters();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const Vst3ParamInfo& p) { return (p.flags & V3_PARAM_IS_HIDDEN) != 0; }),
               list.end());
    return list;
}

double Vst3Instance::normalisedToPlain(const v3_param_id id, const double normalised) const
{
    return v3_cpp_obj(fController)->normalised_parameter_to_plain(fController, id, normalised);
}

double Vst3Instance::plainToNormalised(const v3_param_id id, const double plain) const
{
    return v3_cpp_obj(fController)->plain_parameter_to_normalised(fController, id, plain);
}

double Vst3Instance::controllerValue(const v3_param_id id) const
{
    return v3_cpp_obj(fController)->get_parameter_normalised(fController, id);
}

v3_result Vst3Instance::setControllerValue(const v3_param_id id, const double normalised)
{
    return v3_cpp_obj(fController)->set_parameter_normalised(fController, id, normalised);
}

std::string Vst3Instance::valueText(const v3_param_id id, const double normalised) const
{
    v3_str_128 text = {};
    if (v3_cpp_obj(fController)->get_parameter_string_for_value(fController, id, normalised, text) != V3_OK)
        return std::string();
    return vst3String(text, 128);
}

v3_result Vst3Instance::setup(const double sampleRate, const int32_t maxBlock)
{
    v3_speaker_arrangement in = V3_SPEAKER_L | V3_SPEAKER_R;
    v3_speaker_arrangement out = V3_SPEAKER_L | V3_SPEAKER_R;
    v3_audio_processor* const p = v3_cpp_obj(fProcessor);
    const v3_result arr = p->set_bus_arrangements(fProcessor, &in, 1, &out, 1);
    if (arr != V3_OK)
        return arr;

    v3_process_setup setup = { V3_REALTIME, V3_SAMPLE_32, maxBlock, sampleRate };
    const v3_result res = p->setup_processing(fProcessor, &setup);
    if (res == V3_OK)
    {
        fSampleRate = sampleRate;
        fMaxBlock = maxBlock;
    }
    return res;
}

v3_result Vst3Instance::setActive(const bool active)
{
    if (!active && fProcessing)
        setProcessing(false);
    const v3_result res = v3_cpp_obj(fComponent)->set_active(fComponent, active);
    if (res == V3_OK)
        fActive = active;
    return res;
}

v3_result Vst3Instance::setProcessing(const bool processing)
{
    const v3_result res = v3_cpp_obj(fProcessor)->set_processing(fProcessor, processing);
    if (res == V3_OK)
        fProcessing = processing;
    return res;
}

uint32_t Vst3Instance::latency() const
{
    return v3_cpp_obj(fProcessor)->get_latency_samples(fProcessor);
}

v3_result Vst3Instance::process(const float* const* inputs, float* const* outputs, const int32_t frames,
                                const Vst3ParamPoint* points, const int32_t pointCount)
{
    if (frames < 0 || frames > fMaxBlock)
        return V3_INVALID_ARG;

    Changes& in = *fInChanges;
    in.count = 0;
    for (int32_t i = 0; i < pointCount; ++i)
    {
        Changes::Queue* const q = in.find(points[i].id, true);
        if (q != nullptr)
            Changes::Queue::addPoint(&q->vtblPtr, points[i].offset, points[i].normalised, nullptr);
    }
    Changes& out = *fOutChangesList;
    out.count = 0;

    for (int c = 0; c < 2; ++c)
    {
        fInPtrs[c] = const_cast<float*>(inputs[c]);
        fOutPtrs[c] = outputs[c];
    }
    fInBus.num_channels = 2;
    fInBus.channel_silence_bitset = 0;
    fInBus.channel_buffers_32 = fInPtrs;
    fOutBus.num_channels = 2;
    fOutBus.channel_silence_bitset = 0;
    fOutBus.channel_buffers_32 = fOutPtrs;

    fContext.state = V3_PROCESS_CTX_CONT_TIME_VALID | V3_PROCESS_CTX_PROJECT_TIME_VALID;
    fContext.sample_rate = fSampleRate;
    fContext.project_time_in_samples = fTime;
    fContext.continuous_time_in_samples = fTime;

    v3_process_data data;
    std::memset(&data, 0, sizeof(data));
    data.process_mode = V3_REALTIME;
    data.symbolic_sample_size = V3_SAMPLE_32;
    data.nframes = frames;
    data.num_input_buses = 1;
    data.num_output_buses = 1;
    data.inputs = &fInBus;
    data.outputs = &fOutBus;
    data.input_params = in.interface();
    data.output_params = fOutputChangesOffered ? out.interface() : nullptr;
    data.ctx = &fContext;

    if (fObserver != nullptr)
        fObserver->beforeProcess();
    const v3_result res = v3_cpp_obj(fProcessor)->process(fProcessor, &data);
    if (fObserver != nullptr)
        fObserver->afterProcess();

    fTime += frames;
    fOutCount = 0;
    for (int32_t i = 0; i < out.count; ++i)
    {
        const Changes::Queue& q = out.queues[i];
        for (int32_t j = 0; j < q.count && fOutCount < kMaxOutChanges; ++j)
            fOutChanges[fOutCount++] = { q.offsets[j], q.id, q.values[j] };
    }
    // the newest value of each output change goes to the controller at the next idle
    for (int32_t i = 0; i < fOutCount; ++i)
    {
        int32_t slot = 0;
        while (slot < fPendingCount && fPending[slot].id != fOutChanges[i].id)
            ++slot;
        if (slot == fPendingCount)
        {
            if (fPendingCount == kMaxOutChanges)
                continue;
            ++fPendingCount;
        }
        fPending[slot] = fOutChanges[i];
    }
    return res;
}

void Vst3Instance::idle()
{
    for (int32_t i = 0; i < fPendingCount; ++i)
        setControllerValue(fPending[i].id, fPending[i].normalised);
    fPendingCount = 0;
}

Vst3Instance::State Vst3Instance::getState() const
{
    State state;
    MemoryStream comp;
    if (v3_cpp_obj(fComponent)->get_state(fComponent, comp.interface()) != V3_OK)
        throw std::runtime_error("component get_state failed");
    state.component = comp.data;
    // a controller without state of its own answers "not implemented": nothing to keep then
    MemoryStream ctrl;
    if (v3_cpp_obj(fController)->get_state(fController, ctrl.interface()) == V3_OK)
        state.controller = ctrl.data;
    return state;
}

v3_result Vst3Instance::setState(const State& state)
{
    MemoryStream comp;
    comp.data = state.component;
    v3_result res = v3_cpp_obj(fComponent)->set_state(fComponent, comp.interface());
    if (res != V3_OK)
        return res;
    comp.pos = 0;
    res = v3_cpp_obj(fController)->set_component_state(fController, comp.interface());
    if (res != V3_OK)
        return res;
    if (state.controller.empty())
        return V3_OK;
    MemoryStream ctrl;
    ctrl.data = state.controller;
    return v3_cpp_obj(fController)->set_state(fController, ctrl.interface());
}
