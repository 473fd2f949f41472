# journal-check.sh: sourced by session.sh once the session's operations are done (it uses its
# check, say, $helper and $faults). The journal's record of who made the helper do what: one entry
# per operation, authorization decision and refused connection, each with its fixed MESSAGE_ID,
# sent by the helper (journald stamps _UID=0 and the unit from the kernel's word), naming the
# client's uid as the kernel gave it to the helper, and the outcome.

say "The journal's record of who made the helper do what"
id_install=c910185b45414558bab5c253cd6389f1
id_start=f5c1f9e640e246019118b3345bd28c37
id_quit=1a6bdc9d1b144121a4c168ac6d14dfcd
id_autostart=a2e9c658aa4f428daea28cea2d401b8b
id_max_files=6530713114b540228b463e06abe1fd8e
id_darkwake=661efcd42c504f1e9a53005d44b76a1d
id_settings=033b371b22064641a3b535c75c09ab75
id_authorization=f38d4f9335884efeaec111a4514a5667
id_refused=ddca88a61dd544e7813e2f181d302afc
all_ids=("$id_install" 1978bd297d9c4552b582b718670e3c29 53aba7e9cf17493dbcda093c6d53d64a
         "$id_settings" "$id_start" "$id_quit" "$id_autostart" "$id_max_files" "$id_darkwake"
         4affd5aaf8494e75ad033d7c9a154602 0dc22bbf911943fea9b73bf4b7d031c9 "$id_authorization"
         "$id_refused")
user_uid=$(id -u corvuser)

# Everything journald has taken in so far is in its files.
journalctl --sync
# entries MATCH...: how many of the helper's entries match all of MATCH (FIELD=VALUE).
entries() { journalctl --no-pager -q -o cat _UID=0 _SYSTEMD_UNIT="$helper.service" "$@" | wc -l; }
# at_least N MATCH...
at_least() { local n=$1; shift; [ "$(entries "$@")" -ge "$n" ]; }

journalctl --no-pager -o short-precise $(printf 'MESSAGE_ID=%s ' "${all_ids[@]}")
check "every entry comes from the helper's unit as root" test \
    "$(journalctl --no-pager -q -o cat $(printf 'MESSAGE_ID=%s ' "${all_ids[@]}") | wc -l)" = \
    "$(entries $(printf 'MESSAGE_ID=%s ' "${all_ids[@]}"))"
check "root's install: uid 0, namespace corvana, true" \
    at_least 1 MESSAGE_ID=$id_install CORVANA_CLIENT_UID=0 CORVANA_NAMESPACE=corvana \
    CORVANA_BUNDLE_PATH=/opt/corvana-deploy/Corvana.app \
    CORVANA_RIGHT=com.quillmark.Corvana.Helper.install_corvana CORVANA_DECIDED_BY=token \
    CORVANA_OUTCOME=true
check "its right was held by root's token" \
    at_least 1 MESSAGE_ID=$id_authorization CORVANA_CLIENT_UID=0 \
    CORVANA_RIGHT=com.quillmark.Corvana.Helper.install_corvana CORVANA_DECIDED_BY=token \
    CORVANA_OUTCOME=true
check "the service start, quit and autostart for corvana" sh -c "
    [ $(entries MESSAGE_ID=$id_start CORVANA_CLIENT_UID=0 CORVANA_NAMESPACE=corvana) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_quit CORVANA_CLIENT_UID=0 CORVANA_OUTCOME=true) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_autostart CORVANA_VALUE=false CORVANA_OUTCOME=true) -ge 1 ]"
check "the open-files limit and dark wake (mode 1)" sh -c "
    [ $(entries MESSAGE_ID=$id_max_files CORVANA_CLIENT_UID=0 CORVANA_OUTCOME=true) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_darkwake CORVANA_CLIENT_UID=0 CORVANA_VALUE=1) -ge 1 ]"
check "root's two global settings checks, true" \
    at_least 2 MESSAGE_ID=$id_settings CORVANA_CLIENT_UID=0 CORVANA_OUTCOME=true
check "the unsigned client's refused connection" \
    at_least 1 MESSAGE_ID=$id_refused CORVANA_CLIENT_UID=0 CORVANA_OUTCOME=false
check "corvuser's install with the wrong password: polkit said no, the install false" sh -c "
    [ $(entries MESSAGE_ID=$id_authorization CORVANA_CLIENT_UID=$user_uid \
        CORVANA_RIGHT=com.quillmark.Corvana.Helper.install_corvana CORVANA_DECIDED_BY=polkit \
        CORVANA_OUTCOME=false) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_install CORVANA_CLIENT_UID=$user_uid CORVANA_NAMESPACE=byuser \
        CORVANA_DECIDED_BY=polkit CORVANA_OUTCOME=false) -ge 1 ]"
check "corvuser's install with the administrator's password: polkit granted, the install true" sh -c "
    [ $(entries MESSAGE_ID=$id_authorization CORVANA_CLIENT_UID=$user_uid \
        CORVANA_DECIDED_BY=polkit CORVANA_OUTCOME=true) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_install CORVANA_CLIENT_UID=$user_uid CORVANA_NAMESPACE=byuser \
        CORVANA_DECIDED_BY=polkit CORVANA_OUTCOME=true) -ge 1 ]"
check "corvuser's settings check without an agent: refused, false" sh -c "
    [ $(entries MESSAGE_ID=$id_authorization CORVANA_CLIENT_UID=$user_uid \
        CORVANA_RIGHT=com.quillmark.Corvana.Helper.global_settings CORVANA_OUTCOME=false) -ge 1 ] &&
    [ $(entries MESSAGE_ID=$id_settings CORVANA_CLIENT_UID=$user_uid CORVANA_OUTCOME=false) -ge 1 ]"
echo "One install, as the journal has it:"
journalctl --no-pager -o verbose -n 1 MESSAGE_ID=$id_install CORVANA_CLIENT_UID="$user_uid" \
    CORVANA_OUTCOME=true
