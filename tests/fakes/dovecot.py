"""A private Dovecot IMAP4/POP3 server on loopback for the end-to-end tests and the demo.

Its own config, ports, passwd file and maildirs under one folder; nothing of the
system's Dovecot is used. As a module:

    server = Dovecot(Path("/tmp/x"), users={"alice": "secret"})
    server.start()
    server.add_message("alice", "Work/2005", b"Subject: hi\\n\\nbody\\n", mtime=1141826589)
    ... server.imap_port, server.pop3_port ...
    server.stop()

As a command: dovecot.py start DIR USER:PASSWORD... / dovecot.py stop DIR
"""
import itertools
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

MAIL_UID = 65534
MAIL_GID = 65534
_counter = itertools.count(1)


_given_ports = set()


def free_port():
    """A port nobody listens on now, never one this process handed out before:
    the system may offer a port again once its probe socket is closed, and a
    server with two listeners on one port does not start."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _given_ports:
            _given_ports.add(port)
            return port


class Dovecot:
    def __init__(self, folder, users, imap_port=None, pop3_port=None, tls=None, oauth=None):
        """tls: (certificate file, key file): STARTTLS on the plain ports, and
        IMAPS and POP3S on imaps_port and pop3s_port.
        oauth: an introspection URL: XOAUTH2 and OAUTHBEARER logins are taken
        and their bearer tokens checked there at every login. The URL's answer
        names a user whose domain must match the login's (one token serves a
        whole domain, as a tenant's application token does); name the
        mailboxes after their addresses (alice@company.test). Password logins
        of `users` keep working."""
        self.folder = Path(folder).resolve()
        self.users = dict(users)
        self.imap_port = imap_port or free_port()
        self.pop3_port = pop3_port or free_port()
        self.tls = tls
        self.oauth = oauth
        self.imaps_port = free_port() if tls else None
        self.pop3s_port = free_port() if tls else None
        self.config = self.folder / "dovecot.conf"
        self._created = set()
        self._paths = {}

    # --- life cycle -------------------------------------------------------
    def start(self):
        for sub in ("run", "state", "mail", "home"):
            (self.folder / sub).mkdir(parents=True, exist_ok=True)
        os.chmod(self.folder, 0o755)
        (self.folder / "passwd").write_text("".join(f"{u}:{{PLAIN}}{p}::::::\n" for u, p in self.users.items()))
        if self.oauth:
            (self.folder / "oauth2.conf.ext").write_text(self._oauth_text())
        self.config.write_text(self._config_text())
        for path in (self.folder / "mail", self.folder / "home"):
            os.chown(path, MAIL_UID, MAIL_GID)
        subprocess.run(["dovecot", "-c", str(self.config)], check=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self._accepts(self.imap_port) and self._accepts(self.pop3_port):
                (self.folder / "ports.json").write_text(json.dumps({"imap": self.imap_port, "pop3": self.pop3_port}))
                return self
            time.sleep(0.1)
        raise RuntimeError(f"dovecot did not start; see {self.folder / 'dovecot.log'}")

    def stop(self):
        if self.config.exists():
            subprocess.run(["doveadm", "-c", str(self.config), "stop"], capture_output=True)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and (self._accepts(self.imap_port) or self._accepts(self.pop3_port)):
                time.sleep(0.1)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- mailboxes ----------------------------------------------------------
    def doveadm(self, *args, check=True):
        return subprocess.run(["doveadm", "-c", str(self.config), *args], check=check, capture_output=True, text=True)

    def create_mailbox(self, user, mailbox):
        if mailbox.upper() == "INBOX" or (user, mailbox) in self._created:
            return
        # Folders made by hand for messages written straight into the maildir
        # belong to root until fixed; doveadm works as the mail user.
        self.fix_ownership()
        result = self.doveadm("mailbox", "create", "-u", user, mailbox, check=False)
        if result.returncode != 0 and "already exists" not in result.stderr:
            raise RuntimeError(f"doveadm mailbox create {mailbox}: {result.stderr.strip()}")
        self._created.add((user, mailbox))

    def mailbox_path(self, user, mailbox):
        if (user, mailbox) not in self._paths:
            self.create_mailbox(user, mailbox)
            out = self.doveadm("mailbox", "path", "-u", user, mailbox).stdout.strip()
            self._paths[(user, mailbox)] = Path(out)
        return self._paths[(user, mailbox)]

    def add_message(self, user, mailbox, data, mtime=None, flags="S"):
        """Stores one message (LF line ends; Dovecot serves CR LF). mtime becomes INTERNALDATE."""
        folder = self.mailbox_path(user, mailbox)
        for sub in ("cur", "new", "tmp"):
            (folder / sub).mkdir(parents=True, exist_ok=True)
            os.chown(folder / sub, MAIL_UID, MAIL_GID)
        name = f"{int(time.time())}.M{next(_counter)}P{os.getpid()}.kelvar:2,{flags}"
        path = folder / "cur" / name
        path.write_bytes(data)
        os.chown(path, MAIL_UID, MAIL_GID)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def resync(self, user):
        """Makes Dovecot see messages written straight into the maildirs."""
        self.fix_ownership()
        self.doveadm("force-resync", "-u", user, "*")

    def fix_ownership(self):
        for root, dirs, files in os.walk(self.folder / "mail"):
            for n in dirs + files:
                os.chown(os.path.join(root, n), MAIL_UID, MAIL_GID)

    def flags(self, user, mailbox):
        """Flags of every message of a mailbox, in sequence order."""
        out = self.doveadm("fetch", "-u", user, "flags", "mailbox", mailbox).stdout
        return [line.partition(":")[2].strip() for line in out.splitlines() if line.startswith("flags:")]

    def log_text(self):
        parts = []
        for name in ("dovecot.log", "dovecot-info.log"):
            p = self.folder / name
            if p.exists():
                parts.append(p.read_text(errors="replace"))
        return "".join(parts)

    # --- internals ----------------------------------------------------------
    @staticmethod
    def _accepts(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False

    def _ssl_text(self):
        if not self.tls:
            return "ssl = no"
        cert, key = self.tls
        return f"ssl = yes\nssl_cert = <{cert}\nssl_key = <{key}\nssl_min_protocol = TLSv1.2"

    def _oauth_text(self):
        return f"""introspection_mode = post
introspection_url = {self.oauth}
username_attribute = username
active_attribute = active
active_value = true
force_introspection = yes
username_format = %d
"""

    def _passdb_text(self):
        # With OAuth, each passdb answers only its own mechanisms: a bearer
        # token is never compared with a password, nor a password introspected.
        oauth = f"""passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {self.folder}/oauth2.conf.ext
}}
""" if self.oauth else ""
        only_passwords = "\n  mechanisms = plain login" if self.oauth else ""
        return f"""{oauth}passdb {{
  driver = passwd-file{only_passwords}
  args = scheme=PLAIN username_format=%u {self.folder}/passwd
}}"""

    @staticmethod
    def _listener(name, port):
        if not port:
            return ""
        return f"""
  inet_listener {name} {{
    address = 127.0.0.1
    port = {port}
    ssl = yes
  }}"""

    def _config_text(self):
        d = self.folder
        return f"""# Private test server; see tests/fakes/dovecot.py
protocols = imap pop3
listen = 127.0.0.1
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
info_log_path = {d}/dovecot-info.log
{self._ssl_text()}
disable_plaintext_auth = no
auth_mechanisms = plain login{" xoauth2 oauthbearer" if self.oauth else ""}
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:{d}/mail/%u
namespace inbox {{
  inbox = yes
  separator = /
}}
{self._passdb_text()}
userdb {{
  driver = static
  args = uid={MAIL_UID} gid={MAIL_GID} home={d}/home/%u{" allow_all_users=yes" if self.oauth else ""}
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}{self._listener("imaps", self.imaps_port)}
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.pop3_port}
  }}{self._listener("pop3s", self.pop3s_port)}
}}
service anvil {{
  chroot =
}}
service imap-login {{
  chroot =
}}
service pop3-login {{
  chroot =
}}
pop3_uidl_format = %08Xu%08Xv
pop3_logout_format = top=%t/%p, retr=%r/%b, del=%d/%m, size=%s
"""


def main(argv):
    if len(argv) >= 3 and argv[1] == "start":
        users = dict(u.split(":", 1) for u in argv[3:])
        server = Dovecot(Path(argv[2]), users).start()
        print(json.dumps({"imap": server.imap_port, "pop3": server.pop3_port}))
        return 0
    if len(argv) == 3 and argv[1] == "stop":
        folder = Path(argv[2]).resolve()
        ports = json.loads((folder / "ports.json").read_text())
        Dovecot(folder, {}, ports["imap"], ports["pop3"]).stop()
        return 0
    print(__doc__, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
