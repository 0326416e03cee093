#include "device/libserialport_driver.h"

#include <libserialport.h>

namespace {

sp_port* toPort(SerialPortHandle* handle) { return reinterpret_cast<sp_port*>(handle); }

} // namespace

bool LibSerialPortDriver::listPorts(std::vector<SerialPortInfo>& ports)
{
    ports.clear();
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK)
        return false;
    for (sp_port** p = list; *p != nullptr; ++p) {
        SerialPortInfo info;
        const char* name = sp_get_port_name(*p);
        info.name = name ? name : "";
        info.isUsb = sp_get_port_transport(*p) == SP_TRANSPORT_USB;
        int vendor = -1;
        int product = -1;
        if (info.isUsb && sp_get_port_usb_vid_pid(*p, &vendor, &product) == SP_OK) {
            info.usbVendorId = vendor;
            info.usbProductId = product;
        }
        if (info.isUsb) {
            const char* productText = sp_get_port_usb_product(*p);
            info.usbProduct = productText ? productText : "";
        }
        ports.push_back(std::move(info));
    }
    sp_free_port_list(list);
    return true;
}

SerialPortHandle* LibSerialPortDriver::findPort(const std::string& name)
{
    sp_port* port = nullptr;
    if (sp_get_port_by_name(name.c_str(), &port) != SP_OK)
        return nullptr;
    return reinterpret_cast<SerialPortHandle*>(port);
}

bool LibSerialPortDriver::open(SerialPortHandle* port) { return sp_open(toPort(port), SP_MODE_READ_WRITE) == SP_OK; }

bool LibSerialPortDriver::setBaudRate(SerialPortHandle* port, int baud)
{
    return sp_set_baudrate(toPort(port), baud) == SP_OK;
}

bool LibSerialPortDriver::disableXonXoff(SerialPortHandle* port)
{
    sp_port_config* config = nullptr;
    if (sp_new_config(&config) != SP_OK)
        return false;
    bool ok = sp_get_config(toPort(port), config) == SP_OK &&
              sp_set_config_xon_xoff(config, SP_XONXOFF_DISABLED) == SP_OK &&
              sp_set_config(toPort(port), config) == SP_OK;
    sp_free_config(config);
    return ok;
}

int LibSerialPortDriver::inputWaiting(SerialPortHandle* port)
{
    if (port == nullptr)
        return SP_ERR_ARG;
    return sp_input_waiting(toPort(port));
}

int LibSerialPortDriver::readNonBlocking(SerialPortHandle* port, uint8_t* buffer, size_t count)
{
    return sp_nonblocking_read(toPort(port), buffer, count);
}

int LibSerialPortDriver::writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count)
{
    return sp_nonblocking_write(toPort(port), data, count);
}

int LibSerialPortDriver::waitDescriptor(SerialPortHandle* port)
{
    int descriptor = -1;
    if (port == nullptr || sp_get_port_handle(toPort(port), &descriptor) != SP_OK)
        return -1;
    return descriptor;
}

bool LibSerialPortDriver::close(SerialPortHandle* port) { return sp_close(toPort(port)) == SP_OK; }

void LibSerialPortDriver::freePort(SerialPortHandle* port) { sp_free_port(toPort(port)); }

std::string LibSerialPortDriver::portName(SerialPortHandle* port)
{
    const char* name = sp_get_port_name(toPort(port));
    return name ? name : "";
}

int LibSerialPortDriver::lastErrorNumber() { return sp_last_error_code(); }

std::string LibSerialPortDriver::lastError()
{
    char* message = sp_last_error_message();
    std::string text = message ? message : "";
    sp_free_error_message(message);
    return text;
}

std::string LibSerialPortDriver::libraryVersion() { return sp_get_package_version_string(); }
