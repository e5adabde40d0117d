package it.norax.coop.sigillo;

import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

import org.apache.pdfbox.cos.COSArray;
import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSObject;
import org.apache.pdfbox.cos.COSString;

/**
 * The form fields a signature locks: the FieldMDP entries of its signature dictionary's
 * /Reference, and the /Lock dictionary of its signature field (what the signer asked the field to
 * lock once signed). Each says All fields, the ones it names (Include) or all but those (Exclude);
 * a name stands for the field and the fields below it. An action that is none of the three locks
 * every field: what the signer meant cannot be told, and nothing locked may pass for free.
 */
final class Field_lock {
    private static final COSName REFERENCE = COSName.getPDFName("Reference");
    private static final COSName TRANSFORM_METHOD = COSName.getPDFName("TransformMethod");
    private static final COSName TRANSFORM_PARAMS = COSName.getPDFName("TransformParams");
    private static final COSName FIELD_MDP = COSName.getPDFName("FieldMDP");
    private static final COSName ACTION = COSName.getPDFName("Action");
    private static final COSName LOCK = COSName.getPDFName("Lock");
    private static final COSName INCLUDE = COSName.getPDFName("Include");
    private static final COSName EXCLUDE = COSName.getPDFName("Exclude");
    private static final COSName ALL = COSName.getPDFName("All");

    /** One statement: its action, and the names it gives. */
    private static final class Rule {
        COSName action;
        final Set<String> names = new HashSet<>();
    }

    private final List<Rule> rules = new ArrayList<>();
    private boolean no_changes;

    private Field_lock() {
    }

    /** What the signature (its dictionary, and its field when known) locks; null when nothing. */
    static Field_lock of(COSDictionary signature, COSDictionary field) {
        Field_lock lock = new Field_lock();
        COSBase references = signature == null ? null : signature.getDictionaryObject(REFERENCE);
        if (references instanceof COSArray)
            for (COSBase item : (COSArray) references) {
                COSBase reference = item instanceof COSObject ? ((COSObject) item).getObject() : item;
                if (reference instanceof COSDictionary
                        && FIELD_MDP.equals(((COSDictionary) reference).getDictionaryObject(TRANSFORM_METHOD))) {
                    COSBase parameters = ((COSDictionary) reference).getDictionaryObject(TRANSFORM_PARAMS);
                    lock.add(parameters instanceof COSDictionary ? (COSDictionary) parameters : new COSDictionary());
                }
            }
        COSBase field_lock = field == null ? null : field.getDictionaryObject(LOCK);
        if (field_lock instanceof COSDictionary) {
            lock.add((COSDictionary) field_lock);
            lock.no_changes = ((COSDictionary) field_lock).getInt(COSName.P, 0) == 1;
        }
        return lock.rules.isEmpty() ? null : lock;
    }

    private void add(COSDictionary parameters) {
        Rule rule = new Rule();
        COSBase action = parameters.getDictionaryObject(ACTION);
        rule.action = INCLUDE.equals(action) || EXCLUDE.equals(action) ? (COSName) action : ALL;
        COSBase fields = parameters.getDictionaryObject(COSName.FIELDS);
        if (fields instanceof COSArray)
            for (COSBase name : (COSArray) fields) {
                name = name instanceof COSObject ? ((COSObject) name).getObject() : name;
                if (name instanceof COSString)
                    rule.names.add(((COSString) name).getString());
            }
        rules.add(rule);
    }

    /** The field of this fully qualified name may no longer change. */
    boolean locks(String name) {
        for (Rule rule : rules) {
            if (rule.action == ALL)
                return true;
            boolean named = named(rule.names, name);
            if (rule.action == INCLUDE ? named : !named)
                return true;
        }
        return false;
    }

    /** The field or one above it is named. */
    private static boolean named(Set<String> names, String name) {
        for (String at = name;;) {
            if (names.contains(at))
                return true;
            int dot = at.lastIndexOf('.');
            if (dot < 0)
                return false;
            at = at.substring(0, dot);
        }
    }

    /**
     * No further signature may be added: the field's lock asks for no change at all (P 1), or a
     * rule locks every field.
     */
    boolean forbids_signing() {
        if (no_changes)
            return true;
        for (Rule rule : rules)
            if (rule.action == ALL)
                return true;
        return false;
    }
}
