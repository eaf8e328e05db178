"""Real proxies on free ports of 127.0.0.1, as proxies.h starts them for the Linux
tests: microsocks (SOCKS5), dante-server (SOCKS4 and SOCKS5) and tinyproxy (HTTP
CONNECT), relaying only to 127.0.0.0/8, with the configuration templates of this folder
(dante.conf.in, tinyproxy.conf.in). Each is a ServerProcess; its owner stops it."""
import os

from server_process import ServerProcess

SUPPORT = os.path.dirname(os.path.abspath(__file__))


def config_from_template(name, directory, **values):
    """Writes the template name of this folder, each "@KEY@" replaced by its value, into
    directory (without its ".in") and returns the file's path."""
    with open(os.path.join(SUPPORT, name)) as f:
        text = f.read()
    for key, value in values.items():
        text = text.replace("@%s@" % key, str(value))
    path = os.path.join(directory, name[:-len(".in")])
    with open(path, "w") as f:
        f.write(text)
    return path


def microsocks(user="", password=""):
    """SOCKS5; with a user name it demands RFC 1929 authentication with that pair."""
    def command(port):
        pair = ["-u", user, "-P", password] if user else []
        return ["microsocks", "-i", "127.0.0.1", "-p", str(port), *pair]
    return ServerProcess("microsocks", command)


def dante(directory):
    """SOCKS4 and SOCKS5 without authentication, CONNECT to 127.0.0.0/8 only; its
    configuration is written into directory."""
    return ServerProcess("danted", lambda port: [
        "/usr/sbin/danted", "-f", config_from_template("dante.conf.in", directory, PORT=port)])


def tinyproxy(directory, user, password):
    """HTTP CONNECT with Basic authorisation of this pair; its configuration is written
    into directory."""
    return ServerProcess("tinyproxy", lambda port: [
        "tinyproxy", "-d", "-c", config_from_template("tinyproxy.conf.in", directory, PORT=port,
                                                      USER=user, PASSWORD=password)])
